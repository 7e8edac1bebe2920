// Builders for the key tests: a small DER writer, PEM text around DER, and one RSA-2048 key pair.
// Base64 comes from the library, so the decoder under test is never its own oracle.
#pragma once

#include <openssl/base64.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/mem.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "envelope/byte_cursor.hpp"

namespace core_fips::testing {

using Der = std::vector<std::uint8_t>;

inline Der operator+(Der a, const Der& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Big-endian magnitude without leading zeros.
inline Der big_endian(std::uint64_t value) {
  Der out;
  for (; value != 0; value >>= 8) out.insert(out.begin(), static_cast<std::uint8_t>(value));
  return out;
}

// Tag, minimal length, content.
inline Der tlv(std::uint8_t tag, const Der& content) {
  if (content.size() < 0x80) return Der{tag, static_cast<std::uint8_t>(content.size())} + content;
  const Der length = big_endian(content.size());
  return Der{tag, static_cast<std::uint8_t>(0x80 | length.size())} + length + content;
}

inline Der der_unsigned(Der magnitude) {
  if (magnitude.empty() || magnitude.front() >= 0x80) magnitude.insert(magnitude.begin(), 0);
  return tlv(0x02, magnitude);
}

inline Der rsa_public_key_der(const Der& n, const Der& e) {
  return tlv(0x30, der_unsigned(n) + der_unsigned(e));
}

inline std::string base64(const Der& bytes) {
  std::string out(bytes.size() / 3 * 4 + 5, '\0');
  out.resize(
      EVP_EncodeBlock(reinterpret_cast<std::uint8_t*>(out.data()), bytes.data(), bytes.size()));
  return out;
}

inline std::string pem(const Der& der, std::size_t width = 64,
                       const std::string& label = "RSA PUBLIC KEY") {
  const std::string chars = base64(der);
  std::string out = "-----BEGIN " + label + "-----\n";
  for (std::size_t at = 0; at < chars.size(); at += width) {
    out.append(chars.substr(at, width)).append("\n");
  }
  return out + "-----END " + label + "-----\n";
}

// PKCS #1 PEM of an RSA public key.
inline std::string public_pem(const RSA* rsa) {
  std::uint8_t* der = nullptr;
  std::size_t der_length = 0;
  if (!RSA_public_key_to_bytes(&der, &der_length, rsa)) throw std::runtime_error("no DER");
  const bssl::UniquePtr<std::uint8_t> owned(der);
  return pem(Der(der, der + der_length));
}

// An ML-KEM encapsulation key of rank k (3: ML-KEM-768, 4: ML-KEM-1024) with every coefficient
// `coefficient(i)` (ByteEncode12), then 32 octets of rho; encapsulation needs no private half.
template <class Coefficient>
Der mlkem_raw_key(std::size_t k, Coefficient coefficient) {
  Der out;
  for (std::size_t i = 0; i < 256 * k; i += 2) {
    const unsigned a = coefficient(i), b = coefficient(i + 1);
    out.push_back(static_cast<std::uint8_t>(a & 0xFF));
    out.push_back(static_cast<std::uint8_t>(a >> 8 | (b & 0x0F) << 4));
    out.push_back(static_cast<std::uint8_t>(b >> 4));
  }
  for (std::uint8_t i = 0; i < 32; ++i) out.push_back(i);
  return out;
}
inline Der mlkem_raw_key(std::size_t k) {
  return mlkem_raw_key(k, [](std::size_t i) { return static_cast<unsigned>(i * 7 % 3329); });
}

// Its SubjectPublicKeyInfo PEM (RFC 9935): id-alg-ml-kem-768 (arc 2) or -1024 (arc 3).
inline std::string mlkem_public_pem(const Der& raw, std::uint8_t arc) {
  const Der oid = tlv(0x06, Der{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x04, arc});
  return pem(tlv(0x30, tlv(0x30, oid) + tlv(0x03, Der{0} + raw)), 64, "PUBLIC KEY");
}

struct KeyPair {
  bssl::UniquePtr<EVP_PKEY> private_key;
  std::string public_pem;
};

inline const KeyPair& key_2048() {
  static const KeyPair pair = [] {
    KeyPair made;
    bssl::UniquePtr<RSA> rsa(RSA_new());
    bssl::UniquePtr<BIGNUM> e(BN_new());
    if (!rsa || !e || !BN_set_word(e.get(), RSA_F4) ||
        !RSA_generate_key_ex(rsa.get(), 2048, e.get(), nullptr)) {
      throw std::runtime_error("RSA key generation failed");
    }
    made.public_pem = public_pem(rsa.get());
    made.private_key.reset(EVP_PKEY_new());
    if (!made.private_key || !EVP_PKEY_assign_RSA(made.private_key.get(), rsa.release())) {
      throw std::runtime_error("no key handle for the generated key");
    }
    return made;
  }();
  return pair;
}

}  // namespace core_fips::testing
