// Builders for key-intake tests: a small DER writer, PEM text around DER, and byte views of text.
// Base64 comes from the library so that the encoder under test is never its own oracle.
#pragma once

#include <openssl/base64.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "envelope/byte_cursor.hpp"

namespace core_fips::testing {

using Der = std::vector<std::uint8_t>;

inline Der operator+(Der a, const Der& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Der der_length(std::size_t length) {
  if (length < 0x80) return {static_cast<std::uint8_t>(length)};
  Der octets;
  for (std::size_t rest = length; rest != 0; rest >>= 8) {
    octets.insert(octets.begin(), static_cast<std::uint8_t>(rest));
  }
  return Der{static_cast<std::uint8_t>(0x80 | octets.size())} + octets;
}

// Tag, minimal length, content.
inline Der tlv(std::uint8_t tag, const Der& content) {
  return Der{tag} + der_length(content.size()) + content;
}

// Minimal unsigned INTEGER for a big-endian magnitude.
inline Der der_unsigned(Der magnitude) {
  while (!magnitude.empty() && magnitude.front() == 0) magnitude.erase(magnitude.begin());
  if (magnitude.empty() || magnitude.front() >= 0x80) magnitude.insert(magnitude.begin(), 0);
  return tlv(0x02, magnitude);
}

inline Der big_endian(std::uint64_t value) {
  Der out;
  for (; value != 0; value >>= 8) out.insert(out.begin(), static_cast<std::uint8_t>(value));
  return out;
}

inline Der rsa_public_key_der(const Der& n, const Der& e) {
  return tlv(0x30, der_unsigned(n) + der_unsigned(e));
}

inline std::string base64(const Der& bytes) {
  std::string out(bytes.size() / 3 * 4 + 5, '\0');
  const std::size_t written =
      EVP_EncodeBlock(reinterpret_cast<std::uint8_t*>(out.data()), bytes.data(), bytes.size());
  out.resize(written);
  return out;
}

// `chars` cut into lines of `width`, each followed by `eol`.
inline std::string wrap(std::string_view chars, std::size_t width, std::string_view eol) {
  std::string out;
  for (std::size_t at = 0; at < chars.size(); at += width) {
    out.append(chars.substr(at, width)).append(eol);
  }
  return out;
}

inline std::string pem(const Der& der, std::string_view label = "RSA PUBLIC KEY",
                       std::string_view eol = "\n", std::size_t width = 64) {
  std::string out = "-----BEGIN ";
  out.append(label).append("-----").append(eol);
  out += wrap(base64(der), width, eol);
  return out.append("-----END ").append(label).append("-----").append(eol);
}

inline ByteSpan bytes_of(std::string_view text) {
  return ascii(text);
}
inline ByteSpan bytes_of(const Der& der) {
  return ByteSpan(der);
}

}  // namespace core_fips::testing
