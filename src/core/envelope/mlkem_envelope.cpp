#include "envelope/mlkem_envelope.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>

#include "errors/internal_fault.hpp"

namespace core_fips {

Status encapsulate(const MlKemEncapsulationKey& key, std::span<std::uint8_t> ciphertext,
                   SecretBuffer<kContentKeyLength>& shared_secret) {
  bssl::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  std::size_t ciphertext_length = ciphertext.size();
  std::size_t secret_length = shared_secret.size();
  if (fault_injected("envelope.encapsulate") || !ctx ||
      ciphertext.size() != key.parameter_set().ciphertext_length ||
      EVP_PKEY_encapsulate(ctx.get(), ciphertext.data(), &ciphertext_length, shared_secret.data(),
                           &secret_length) != 1 ||
      ciphertext_length != ciphertext.size() || secret_length != shared_secret.size()) {
    ERR_clear_error();
    shared_secret.wipe();
    return CoreError::encryption_failed();
  }
  return Done{};
}

Result<MlKemEnvelopeSealer> MlKemEnvelopeSealer::prepare(
    std::span<const std::uint8_t> public_key_pem) {
  Result<MlKemEncapsulationKey> key = parse_mlkem_public_key_pem(public_key_pem);
  if (!key) return std::move(key).error();
  return MlKemEnvelopeSealer(std::move(key).value());
}

Status MlKemEnvelopeSealer::seal_into(std::span<const std::uint8_t> plaintext,
                                      std::span<std::uint8_t> out) && {
  const std::optional<EnvelopeFields> fields =
      lay_out_envelope(out, key_.parameter_set().ciphertext_length, plaintext.size());
  if (!fields) return CoreError::encryption_failed();
  SecretBuffer<kContentKeyLength> shared_secret;  // wiped when this call ends, whatever happens
  if (Status encapsulated = encapsulate(key_, fields->key_block, shared_secret); !encapsulated) {
    return encapsulated;
  }
  // The AES schedule lives in the library's allocation, which OPENSSL_free cleanses on release.
  Result<bssl::UniquePtr<EVP_AEAD_CTX>> cipher = content_cipher(shared_secret);
  if (!cipher) return std::move(cipher).error();
  return seal_content(*cipher.value(), plaintext, fields->ciphertext, fields->nonce, fields->tag);
}

}  // namespace core_fips
