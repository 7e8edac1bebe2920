// Hasher: a salted SHA-384 token computed over content that arrives chunk by chunk.
#pragma once

#include "module/types.hpp"

namespace core_fips {

extern TypeObjectCell hasher_cell;

}  // namespace core_fips
