// VerifyingHasher: content that arrives chunk by chunk, checked against a stored token.
#pragma once

#include "python/types.hpp"

namespace core_fips {

extern TypeObjectCell verifying_hasher_cell;

}  // namespace core_fips
