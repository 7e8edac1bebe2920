// Strict intake of an ML-KEM encapsulation key given as one PEM block of type "PUBLIC KEY": a
// SubjectPublicKeyInfo as RFC 9935 writes it (ML-KEM-768 or ML-KEM-1024, parameters absent, the
// raw key in a BIT STRING without unused bits), which also passes FIPS 203's modulus check.
// Runs with the interpreter lock released: touches no Python object.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "envelope/byte_cursor.hpp"
#include "errors/result.hpp"

namespace core_fips {

// The two parameter sets taken, with their sizes in octets (FIPS 203, section 8).
struct MlKemParameterSet {
  int nid;                    // the library's name for it
  std::uint8_t oid_last_arc;  // 2.16.840.1.101.3.4.4.x
  std::size_t rank;           // k: the key holds k polynomials of 256 coefficients
  std::size_t key_length;     // 384 k + 32
  std::size_t ciphertext_length;
};

// Owns one library key handle of type KEM, and knows its parameter set.
class MlKemEncapsulationKey {
 public:
  MlKemEncapsulationKey(bssl::UniquePtr<EVP_PKEY> key, const MlKemParameterSet& set)
      : key_(std::move(key)), set_(&set) {}
  EVP_PKEY* get() const { return key_.get(); }
  const MlKemParameterSet& parameter_set() const { return *set_; }

 private:
  bssl::UniquePtr<EVP_PKEY> key_;
  const MlKemParameterSet* set_;
};

// The parameter set a SubjectPublicKeyInfo document names, with its raw key of that set's length
// and no parameters; none otherwise (ML-KEM-512, another algorithm, a length that is not the
// OID's). The key views the document.
struct MlKemRawKey {
  const MlKemParameterSet* set;
  ByteSpan key;
};
std::optional<MlKemRawKey> read_mlkem_subject_public_key_info(ByteSpan document);

// FIPS 203's encapsulation-key check (section 7.2): every 12-bit coefficient of the k encoded
// polynomials, ByteDecode12 of the key's first 384 k octets, is below q = 3329.
bool coefficients_below_q(const MlKemRawKey& raw);

// The key, or Utf8 (input not valid UTF-8) or InvalidPublicKey (every other refusal).
Result<MlKemEncapsulationKey> parse_mlkem_public_key_pem(std::span<const std::uint8_t> input);

}  // namespace core_fips
