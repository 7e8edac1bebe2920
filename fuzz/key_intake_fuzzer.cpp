// libFuzzer target: arbitrary bytes through the RSA public-key intake. Every input must end in a
// usable key or in one of the two refusals, without touching memory it does not own and without
// leaving anything allocated behind.
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>

#include "envelope/rsa_public_key.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using core_fips::CoreError;
  core_fips::Result<core_fips::RsaEncryptionKey> result =
      core_fips::parse_rsa_public_key_pem({data, size});
  if (result.ok()) {
    const core_fips::RsaEncryptionKey& key = result.value();
    // The key rules cap the modulus at 4096 bits, the size rule starts at 2048.
    if (EVP_PKEY_id(key.get()) != EVP_PKEY_RSA || key.bits() < 2048 || key.bits() > 4096 ||
        key.size() * 8 < key.bits()) {
      std::abort();
    }
    return 0;
  }
  const CoreError& error = result.error();
  if (error.kind() == CoreError::Kind::Utf8) {
    if (error.utf8_failure().valid_up_to >= size) std::abort();
  } else if (error.kind() != CoreError::Kind::InvalidPublicKey) {
    std::abort();
  }
  return 0;
}
