// The module-level one-shot digest functions.
#pragma once

#include <Python.h>

namespace core_fips {

extern PyMethodDef create_hash_def;
extern PyMethodDef compare_hash_def;

}  // namespace core_fips
