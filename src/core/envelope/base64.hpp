// The Base64 body of a PEM block: canonical, padded Base64 (RFC 4648, section 4) in lines of
// exactly 64 characters.
#pragma once

#include <cstdint>
#include <optional>

#include "envelope/byte_cursor.hpp"
#include "envelope/wiped_bytes.hpp"

namespace core_fips {

inline constexpr std::size_t kPemLineWidth = 64;

// The decoded bytes, or none when the body breaks the line layout, the alphabet, the padding or
// canonical form. Wiped when freed, a refusal's partial output too.
std::optional<WipedBytes> decode_pem_base64(ByteSpan body);

}  // namespace core_fips
