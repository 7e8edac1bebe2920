// The PEM envelope: one block "-----BEGIN label-----" ... "-----END label-----", optionally after
// free text, with LF, CR LF or lone CR line breaks.
#pragma once

#include <optional>

#include "envelope/byte_cursor.hpp"

namespace core_fips {

struct PemBlock {
  ByteSpan label;  // as written on the BEGIN line; the END line repeats it byte for byte
  ByteSpan body;   // between the BEGIN line's break and the break before "-----END "
};

// A line break (CR LF, LF or lone CR) at the front or at the back of the cursor.
bool skip_leading_line_break(ByteCursor& in);
bool drop_trailing_line_break(ByteCursor& in);

// The block, or none when the text does not have the envelope's exact shape.
std::optional<PemBlock> read_pem_block(ByteSpan text);

}  // namespace core_fips
