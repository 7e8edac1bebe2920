// The ML-KEM envelope: encapsulation for the recipient's ML-KEM-768 or ML-KEM-1024 key gives a
// 32-octet shared secret and its ciphertext; the secret is the AES-256-GCM key itself (a KEM's
// shared secret used directly as a symmetric key, as NIST SP 800-227 allows), and the plaintext is
// sealed with a nonce the library draws. The layout is the RSA envelope's:
//   u16be c | KEM ciphertext (c: 1088 or 1568) | nonce (12) | ciphertext (n) | tag (16)
// Runs with the interpreter lock released: touches no Python object.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "envelope/envelope.hpp"
#include "envelope/mlkem_public_key.hpp"
#include "errors/result.hpp"

namespace core_fips {

// ML-KEM.Encaps for `key`: writes the KEM ciphertext (exactly the parameter set's length) and the
// shared secret.
Status encapsulate(const MlKemEncapsulationKey& key, std::span<std::uint8_t> ciphertext,
                   SecretBuffer<kContentKeyLength>& shared_secret);

// One envelope in the making, as EnvelopeSealer: prepare() reads the key, seal_into() encapsulates
// and seals straight into the output. The shared secret lives only inside seal_into(), in a buffer
// that wipes it.
class MlKemEnvelopeSealer {
 public:
  static Result<MlKemEnvelopeSealer> prepare(std::span<const std::uint8_t> public_key_pem);

  std::size_t output_length(std::size_t plaintext_length) const {
    return envelope_length(key_.parameter_set().ciphertext_length, plaintext_length);
  }
  Status seal_into(std::span<const std::uint8_t> plaintext, std::span<std::uint8_t> out) &&;

 private:
  explicit MlKemEnvelopeSealer(MlKemEncapsulationKey key) : key_(std::move(key)) {}

  MlKemEncapsulationKey key_;
};

inline Result<std::vector<std::uint8_t>> encrypt_mlkem_envelope(
    std::span<const std::uint8_t> public_key_pem, std::span<const std::uint8_t> plaintext) {
  return seal_envelope<MlKemEnvelopeSealer>(public_key_pem, plaintext);
}

}  // namespace core_fips
