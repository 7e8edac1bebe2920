// FIPS status: the library's own report of its FIPS mode, after a once-per-process library
// initialisation.
#pragma once

#include <Python.h>

#include "errors/result.hpp"

namespace core_fips {

void ensure_library_initialised();
Status fips_self_attest();

extern PyMethodDef fips_check_def;

}  // namespace core_fips
