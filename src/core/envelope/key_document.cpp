#include "envelope/key_document.hpp"

#include <optional>

#include "envelope/base64.hpp"
#include "envelope/der.hpp"
#include "envelope/pem.hpp"
#include "envelope/utf8.hpp"

namespace core_fips {

Result<WipedBytes> read_key_document(ByteSpan input, ByteSpan label) {
  if (const std::optional<CoreError::Utf8Failure> bad = find_utf8_error(input)) {
    return CoreError::utf8(*bad);
  }
  const std::optional<PemBlock> block = read_pem_block(input);
  // Every refusal after the UTF-8 check is the same error, so the label goes first: a block of
  // another kind is never decoded.
  if (!block || !same_bytes(block->label, label)) return CoreError::invalid_public_key();
  std::optional<WipedBytes> document = decode_pem_base64(block->body);
  if (!document || !is_single_der_sequence(*document)) return CoreError::invalid_public_key();
  return std::move(*document);
}

}  // namespace core_fips
