#include "envelope/rsa_public_key.hpp"

#include <openssl/bytestring.h>
#include <openssl/err.h>

#include <optional>
#include <utility>
#include <vector>

#include "envelope/byte_cursor.hpp"
#include "envelope/der.hpp"
#include "envelope/key_document.hpp"

namespace core_fips {
namespace {

// The size rule on the parsed key. The key rules already cap the modulus at 4096 bits, so the
// upper bound here is never the one that refuses.
constexpr int kMinKeyBits = 2048;
constexpr int kMaxKeyBits = 8192;

// The library's view of the key: the SubjectPublicKeyInfo parsed into a handle of type RSA.
std::optional<RsaEncryptionKey> load_key(const std::vector<std::uint8_t>& spki) {
  CBS cbs;
  CBS_init(&cbs, spki.data(), spki.size());
  bssl::UniquePtr<EVP_PKEY> parsed(EVP_parse_public_key(&cbs));
  if (!parsed) {
    // The refusal is reported as our own error; leave no library errors queued on this thread.
    ERR_clear_error();
    return std::nullopt;
  }
  RsaEncryptionKey key(std::move(parsed));
  if (EVP_PKEY_id(key.get()) != EVP_PKEY_RSA) return std::nullopt;
  const int bits = EVP_PKEY_bits(key.get());
  if (bits < kMinKeyBits || bits > kMaxKeyBits) return std::nullopt;
  return key;
}

}  // namespace

Result<RsaEncryptionKey> parse_rsa_public_key_pem(std::span<const std::uint8_t> input) {
  Result<WipedBytes> document = read_key_document(input, ascii("RSA PUBLIC KEY"));
  if (!document) return std::move(document).error();

  const std::optional<RsaPublicComponents> components = read_rsa_public_key(document.value());
  if (!components || first_broken_key_rule(*components)) return CoreError::invalid_public_key();
  std::optional<RsaEncryptionKey> key = load_key(encode_subject_public_key_info(*components));
  if (!key) return CoreError::invalid_public_key();
  return std::move(*key);
}

}  // namespace core_fips
