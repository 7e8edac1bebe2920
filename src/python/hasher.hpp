// Hasher: a salted SHA-384 token computed over content that arrives chunk by chunk.
#pragma once

#include "python/types.hpp"

namespace core_fips {

extern TypeObjectCell hasher_cell;

}  // namespace core_fips
