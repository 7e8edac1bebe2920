// FIPS status: the library's own report of its FIPS mode.
#pragma once

#include "errors/result.hpp"

namespace core_fips {

// Success when the library runs in FIPS mode; FipsSelfAttestFailed otherwise.
Status fips_self_attest();

}  // namespace core_fips
