// The module function fips_check().
#pragma once

#include <Python.h>

namespace core_fips {

extern PyMethodDef fips_check_def;

}  // namespace core_fips
