#include "envelope/envelope.hpp"

#include <openssl/digest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/mem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstring>

namespace core_fips {

namespace {

// Library failures are reported as our own error; leave nothing queued on the thread.
CoreError encryption_failed() {
  ERR_clear_error();
  return CoreError::encryption_failed();
}

struct PkeyContextFree {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};

// RSA-OAEP with SHA-256 and MGF1-SHA-256, empty label: wraps `key` into `out` (k bytes).
Status wrap_key(EVP_PKEY* public_key, const std::uint8_t* key, std::size_t key_length,
                std::span<std::uint8_t> out) {
  std::unique_ptr<EVP_PKEY_CTX, PkeyContextFree> ctx(EVP_PKEY_CTX_new(public_key, nullptr));
  std::size_t written = out.size();
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
      EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha256()) != 1 ||
      EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) != 1 ||
      EVP_PKEY_CTX_set0_rsa_oaep_label(ctx.get(), nullptr, 0) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), out.data(), &written, key, key_length) != 1) {
    return encryption_failed();
  }
  // An OAEP ciphertext always has the modulus length; anything else would corrupt the layout.
  if (written != out.size()) return encryption_failed();
  return Done{};
}

}  // namespace

Result<EnvelopeSealer> EnvelopeSealer::prepare(std::span<const std::uint8_t> public_key_pem) {
  Result<RsaEncryptionKey> key = parse_rsa_public_key_pem(public_key_pem);
  if (!key) return std::move(key).error();
  EnvelopeSealer sealer(std::move(key).value());
  // The key is always drawn before the nonce.
  if (RAND_bytes(sealer.content_key_.data(), kContentKeyLength) != 1 ||
      RAND_bytes(sealer.nonce_.data(), kNonceLength) != 1) {
    return encryption_failed();
  }
  auto* ctx = static_cast<EVP_AEAD_CTX*>(OPENSSL_malloc(sizeof(EVP_AEAD_CTX)));
  if (!ctx) return encryption_failed();
  EVP_AEAD_CTX_zero(ctx);
  sealer.aead_.reset(ctx);
  if (EVP_AEAD_CTX_init(ctx, EVP_aead_aes_256_gcm(), sealer.content_key_.data(), kContentKeyLength,
                        kTagLength, nullptr) != 1) {
    return encryption_failed();
  }
  return sealer;
}

Status EnvelopeSealer::seal_into(std::span<const std::uint8_t> plaintext,
                                 std::span<std::uint8_t> out) && {
  const std::size_t k = wrapped_key_length();
  const std::size_t n = plaintext.size();
  if (out.size() != output_length(n) || k > 0xffff) return encryption_failed();
  const auto wrapped = out.subspan(kWrappedKeyLengthField, k);
  const auto nonce = out.subspan(kWrappedKeyLengthField + k, kNonceLength);
  const auto sealed = out.subspan(kWrappedKeyLengthField + k + kNonceLength);  // n + tag

  out[0] = static_cast<std::uint8_t>(k >> 8);
  out[1] = static_cast<std::uint8_t>(k & 0xff);
  std::memcpy(nonce.data(), nonce_.data(), kNonceLength);

  // Content first, then the key: a wrap failure discards the sealed content.
  std::size_t sealed_length = 0;
  if (EVP_AEAD_CTX_seal(aead_.get(), sealed.data(), &sealed_length, sealed.size(), nonce_.data(),
                        kNonceLength, plaintext.data(), n, nullptr, 0) != 1 ||
      sealed_length != n + kTagLength) {
    content_key_.wipe();
    return encryption_failed();
  }
  Status wrap = wrap_key(key_.get(), content_key_.data(), kContentKeyLength, wrapped);
  content_key_.wipe();
  return wrap;
}

Result<std::vector<std::uint8_t>> encrypt_envelope(std::span<const std::uint8_t> public_key_pem,
                                                   std::span<const std::uint8_t> plaintext) {
  Result<EnvelopeSealer> sealer = EnvelopeSealer::prepare(public_key_pem);
  if (!sealer) return std::move(sealer).error();
  std::vector<std::uint8_t> out(sealer.value().output_length(plaintext.size()));
  Status sealed = std::move(sealer).value().seal_into(plaintext, out);
  if (!sealed) return std::move(sealed).error();
  return out;
}

}  // namespace core_fips
