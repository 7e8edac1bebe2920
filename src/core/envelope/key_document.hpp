// The strict reading every public key of the module goes through before its own rules: valid
// UTF-8, exactly one PEM block with the expected label, canonical Base64, one DER SEQUENCE.
// Another label (a private key given by mistake among them) is refused before its body is decoded,
// and what is decoded is wiped when freed, on every refusal here or in the key's own reader.
// Runs with the interpreter lock released: touches no Python object.
#pragma once

#include "envelope/byte_cursor.hpp"
#include "envelope/wiped_bytes.hpp"
#include "errors/result.hpp"

namespace core_fips {

// The decoded DER document, or Utf8 (input not valid UTF-8) or InvalidPublicKey (every other
// refusal, the label among them).
Result<WipedBytes> read_key_document(ByteSpan input, ByteSpan label);

}  // namespace core_fips
