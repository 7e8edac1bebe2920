#include "envelope/envelope.hpp"

#include <openssl/digest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/mem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstring>

#include "errors/internal_fault.hpp"

namespace core_fips {

namespace {

// Library failures are reported as our own error; leave nothing queued on the thread.
CoreError encryption_failed() {
  ERR_clear_error();
  return CoreError::encryption_failed();
}

}  // namespace

std::optional<EnvelopeFields> lay_out_envelope(std::span<std::uint8_t> out, std::size_t key_block,
                                               std::size_t plaintext) {
  if (out.size() != envelope_length(key_block, plaintext) || key_block > 0xffff)
    return std::nullopt;
  out[0] = static_cast<std::uint8_t>(key_block >> 8);
  out[1] = static_cast<std::uint8_t>(key_block & 0xff);
  return EnvelopeFields{out.subspan(kWrappedKeyLengthField, key_block),
                        out.subspan(kWrappedKeyLengthField + key_block, kNonceLength),
                        out.subspan(kWrappedKeyLengthField + key_block + kNonceLength, plaintext),
                        out.last(kTagLength)};
}

Status draw_content_key(SecretBuffer<kContentKeyLength>& key) {
  if (RAND_bytes(key.data(), key.size()) != 1) return encryption_failed();
  return Done{};
}

Result<bssl::UniquePtr<EVP_AEAD_CTX>> content_cipher(const SecretBuffer<kContentKeyLength>& key) {
  // The library returns the tag followed by the nonce it drew, so its tag length counts both.
  bssl::UniquePtr<EVP_AEAD_CTX> cipher(EVP_AEAD_CTX_new(
      EVP_aead_aes_256_gcm_randnonce(), key.data(), key.size(), kTagLength + kNonceLength));
  if (!cipher) return encryption_failed();
  return cipher;
}

Status seal_content(const EVP_AEAD_CTX& cipher, std::span<const std::uint8_t> plaintext,
                    std::span<std::uint8_t> ciphertext, std::span<std::uint8_t> nonce,
                    std::span<std::uint8_t> tag) {
  if (ciphertext.size() != plaintext.size() || nonce.size() != kNonceLength ||
      tag.size() != kTagLength) {
    return encryption_failed();
  }
  std::array<std::uint8_t, kTagLength + kNonceLength> tag_then_nonce;
  std::size_t tag_then_nonce_length = 0;
  if (fault_injected("envelope.seal") ||
      EVP_AEAD_CTX_seal_scatter(&cipher, ciphertext.data(), tag_then_nonce.data(),
                                &tag_then_nonce_length, tag_then_nonce.size(), nullptr, 0,
                                plaintext.data(), plaintext.size(), nullptr, 0, nullptr, 0) != 1 ||
      tag_then_nonce_length != tag_then_nonce.size()) {
    return encryption_failed();
  }
  std::memcpy(tag.data(), tag_then_nonce.data(), kTagLength);
  std::memcpy(nonce.data(), tag_then_nonce.data() + kTagLength, kNonceLength);
  return Done{};
}

Status wrap_key(EVP_PKEY* public_key, const SecretBuffer<kContentKeyLength>& key,
                std::span<std::uint8_t> out) {
  bssl::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(public_key, nullptr));
  std::size_t written = out.size();
  if (fault_injected("envelope.wrap") || !ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
      EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha256()) != 1 ||
      EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) != 1 ||
      EVP_PKEY_CTX_set0_rsa_oaep_label(ctx.get(), nullptr, 0) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), out.data(), &written, key.data(), key.size()) != 1) {
    return encryption_failed();
  }
  // An OAEP ciphertext always has the modulus length; anything else would corrupt the layout.
  if (written != out.size()) return encryption_failed();
  return Done{};
}

Result<EnvelopeSealer> EnvelopeSealer::prepare(std::span<const std::uint8_t> public_key_pem) {
  Result<RsaEncryptionKey> key = parse_rsa_public_key_pem(public_key_pem);
  if (!key) return std::move(key).error();
  EnvelopeSealer sealer(std::move(key).value());
  // The key is always drawn before the nonce, which the library draws inside the seal.
  if (Status drawn = draw_content_key(sealer.content_key_); !drawn) {
    return std::move(drawn).error();
  }
  Result<bssl::UniquePtr<EVP_AEAD_CTX>> cipher = content_cipher(sealer.content_key_);
  if (!cipher) return std::move(cipher).error();
  sealer.cipher_ = std::move(cipher).value();
  return sealer;
}

Status EnvelopeSealer::seal_into(std::span<const std::uint8_t> plaintext,
                                 std::span<std::uint8_t> out) && {
  const std::optional<EnvelopeFields> fields =
      lay_out_envelope(out, wrapped_key_length(), plaintext.size());
  if (!fields) return encryption_failed();

  // Content first, then the key: a wrap failure discards the sealed content.
  Status sealed = seal_content(*cipher_, plaintext, fields->ciphertext, fields->nonce, fields->tag);
  if (sealed) sealed = wrap_key(key_.get(), content_key_, fields->key_block);
  // The key and its AES schedule end here, whatever happened. The schedule lives inside the AEAD
  // context, whose own cleanup leaves it be; but the library allocated the context, and its
  // OPENSSL_free cleanses every allocation before releasing it, so freeing the context wipes it.
  content_key_.wipe();
  cipher_.reset();
  return sealed;
}

}  // namespace core_fips
