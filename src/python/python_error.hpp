// The one conversion of a CoreError into a Python exception.
#pragma once

#include <Python.h>

#include "errors/core_error.hpp"

namespace core_fips {

// Sets ValueError(message) with the kind's display text as its only argument. Holds the lock.
void set_python_error(CoreError error);

}  // namespace core_fips
