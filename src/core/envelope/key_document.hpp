// The strict reading every public key of the module goes through before its own rules: valid
// UTF-8, exactly one PEM block with the expected label, canonical Base64, one DER SEQUENCE.
// Runs with the interpreter lock released: touches no Python object.
#pragma once

#include <cstdint>
#include <vector>

#include "envelope/byte_cursor.hpp"
#include "errors/result.hpp"

namespace core_fips {

// The decoded DER document, or Utf8 (input not valid UTF-8) or InvalidPublicKey (every other
// refusal, the label among them).
Result<std::vector<std::uint8_t>> read_key_document(ByteSpan input, ByteSpan label);

}  // namespace core_fips
