// The module function encrypt().
#pragma once

#include <Python.h>

namespace core_fips {

extern PyMethodDef encrypt_def;

}  // namespace core_fips
