// Strict intake of an RSA public key given as one PEM block of type "RSA PUBLIC KEY" (PKCS #1).
// Runs with the interpreter lock released: touches no Python object.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <span>
#include <utility>

#include "errors/result.hpp"

namespace core_fips {

// Owns one library key handle of type RSA.
class RsaEncryptionKey {
 public:
  explicit RsaEncryptionKey(bssl::UniquePtr<EVP_PKEY> key) : key_(std::move(key)) {}
  EVP_PKEY* get() const { return key_.get(); }
  unsigned bits() const { return static_cast<unsigned>(EVP_PKEY_bits(key_.get())); }
  // Output size of an RSA operation in bytes: the modulus length.
  std::size_t size() const { return static_cast<std::size_t>(EVP_PKEY_size(key_.get())); }

 private:
  bssl::UniquePtr<EVP_PKEY> key_;
};

// The key, or Utf8 (input not valid UTF-8) or InvalidPublicKey (every other refusal).
Result<RsaEncryptionKey> parse_rsa_public_key_pem(std::span<const std::uint8_t> input);

}  // namespace core_fips
