// Envelope encryption: a fresh AES-256-GCM content key and nonce seal the plaintext, the key is
// wrapped with RSA-OAEP (SHA-256, MGF1-SHA-256, no label) for the holder of the RSA key, and the
// result is one self-describing byte string:
//   u16be k | wrapped key (k) | nonce (12) | ciphertext (n) | tag (16)
// The ML-KEM envelope (envelope/mlkem_envelope.hpp) has the same layout, with the KEM's
// ciphertext in the wrapped key's place; the layout and the sealing here serve both.
// Runs with the interpreter lock released: touches no Python object.
#pragma once

#include <openssl/aead.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "envelope/rsa_public_key.hpp"
#include "errors/result.hpp"

namespace core_fips {

inline constexpr std::size_t kContentKeyLength = 32;
inline constexpr std::size_t kNonceLength = 12;
inline constexpr std::size_t kTagLength = 16;
inline constexpr std::size_t kWrappedKeyLengthField = 2;
inline constexpr std::size_t kEnvelopeOverhead = kWrappedKeyLengthField + kNonceLength + kTagLength;

// A fixed-size secret, overwritten with zeros when no longer needed and in any case on release.
template <std::size_t N>
class SecretBuffer {
 public:
  SecretBuffer() { wipe(); }
  SecretBuffer(SecretBuffer&& other) noexcept : bytes_(other.bytes_) { other.wipe(); }
  SecretBuffer& operator=(SecretBuffer&&) = delete;
  ~SecretBuffer() { wipe(); }
  void wipe() { OPENSSL_cleanse(bytes_.data(), N); }
  std::uint8_t* data() { return bytes_.data(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  static constexpr std::size_t size() { return N; }

 private:
  std::array<std::uint8_t, N> bytes_;
};

// The fields of an envelope in its output buffer.
struct EnvelopeFields {
  std::span<std::uint8_t> key_block;  // the wrapped key, or the KEM ciphertext
  std::span<std::uint8_t> nonce;
  std::span<std::uint8_t> ciphertext;
  std::span<std::uint8_t> tag;
};
inline std::size_t envelope_length(std::size_t key_block, std::size_t plaintext) {
  return kEnvelopeOverhead + key_block + plaintext;
}
// Writes the length field of `key_block` octets and cuts `out` into the fields; none when `out`
// is not exactly envelope_length() or the block does not fit the length field.
std::optional<EnvelopeFields> lay_out_envelope(std::span<std::uint8_t> out, std::size_t key_block,
                                               std::size_t plaintext);

// The library services one envelope is made of, in the order they run. The key draw and the
// sealing are approved services of AWS-LC's validated modules. The RSA-OAEP wrap is a
// non-approved service in all of them (none offers an approved key transport), though its
// padding runs approved primitives (a SHA-256 and a DRBG draw) that move the FIPS indicator.
//
// The content key: 32 random octets from the library's DRBG.
Status draw_content_key(SecretBuffer<kContentKeyLength>& key);
// AES-256-GCM under `key` with a nonce the library draws itself at each seal: GCM encryption is
// approved only when the module generates the IV.
Result<bssl::UniquePtr<EVP_AEAD_CTX>> content_cipher(const SecretBuffer<kContentKeyLength>& key);
// Seals `plaintext` into `ciphertext` (same length) and writes the tag and the nonce the library
// drew to their own places.
Status seal_content(const EVP_AEAD_CTX& cipher, std::span<const std::uint8_t> plaintext,
                    std::span<std::uint8_t> ciphertext, std::span<std::uint8_t> nonce,
                    std::span<std::uint8_t> tag);
// RSA-OAEP with SHA-256 and MGF1-SHA-256, empty label: wraps `key` into `out` (k octets).
Status wrap_key(EVP_PKEY* public_key, const SecretBuffer<kContentKeyLength>& key,
                std::span<std::uint8_t> out);

// One envelope in the making. prepare() does everything that depends only on the key (intake,
// content key, AEAD set-up), so the caller can size the output exactly before seal_into() writes
// the whole envelope into it.
class EnvelopeSealer {
 public:
  static Result<EnvelopeSealer> prepare(std::span<const std::uint8_t> public_key_pem);

  std::size_t wrapped_key_length() const { return key_.size(); }
  std::size_t output_length(std::size_t plaintext_length) const {
    return envelope_length(wrapped_key_length(), plaintext_length);
  }
  // Seals `plaintext` straight into `out` (exactly output_length() bytes) and wraps the key.
  // Consumes the sealer: the content key is wiped whatever the outcome.
  Status seal_into(std::span<const std::uint8_t> plaintext, std::span<std::uint8_t> out) &&;

 private:
  explicit EnvelopeSealer(RsaEncryptionKey key) : key_(std::move(key)) {}

  RsaEncryptionKey key_;
  SecretBuffer<kContentKeyLength> content_key_;
  bssl::UniquePtr<EVP_AEAD_CTX> cipher_;
};

// The whole operation of a sealer (prepare, then seal_into) into a new vector.
template <class Sealer>
Result<std::vector<std::uint8_t>> seal_envelope(std::span<const std::uint8_t> public_key_pem,
                                                std::span<const std::uint8_t> plaintext) {
  Result<Sealer> sealer = Sealer::prepare(public_key_pem);
  if (!sealer) return std::move(sealer).error();
  std::vector<std::uint8_t> out(sealer.value().output_length(plaintext.size()));
  Status sealed = std::move(sealer).value().seal_into(plaintext, out);
  if (!sealed) return std::move(sealed).error();
  return out;
}

inline Result<std::vector<std::uint8_t>> encrypt_envelope(
    std::span<const std::uint8_t> public_key_pem, std::span<const std::uint8_t> plaintext) {
  return seal_envelope<EnvelopeSealer>(public_key_pem, plaintext);
}

}  // namespace core_fips
