// The salted SHA-384 engines behind every digest entry. A token's digest is SHA-384 over the
// content bytes, in the order fed, followed directly by the salt's UTF-8 bytes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "digest/digest_context.hpp"
#include "errors/result.hpp"

namespace core_fips {

inline constexpr std::size_t kDigestHexLength = 2 * kSha384Length;  // 96
inline constexpr std::size_t kDefaultSaltLength = 32;

// A rendered digest, held inline: a token costs no allocation beyond its salt.
using DigestText = std::array<char, kDigestHexLength>;

struct TokenValue {
  DigestText sha;    // 96 lowercase hexadecimal characters
  std::string salt;  // the caller's salt, or the generated default

  std::string_view sha_text() const { return {sha.data(), sha.size()}; }
};

// Lowercase hexadecimal, high nibble first: 2 characters per byte written to `out`.
void render_hex(std::span<const std::uint8_t> bytes, char* out);
std::string render_hex(std::span<const std::uint8_t> bytes);

// A fresh version-4 UUID from the operating system's random source, as 32 lowercase hex digits.
std::string default_salt();

class SaltedDigest {
 public:
  // Without a salt, the default salt is generated now.
  explicit SaltedDigest(std::optional<std::string_view> salt);
  void update(std::span<const std::uint8_t> bytes) { context_.update(bytes); }
  // Consumes the engine.
  TokenValue finish() &&;

 private:
  std::string salt_;
  DigestContext context_;
};

class DigestVerifier {
 public:
  DigestVerifier(std::string_view expected, std::string_view salt);
  void update(std::span<const std::uint8_t> bytes) { context_.update(bytes); }
  // Consumes the verifier: success, or Generic "Token mismatch".
  Status verify() &&;

 private:
  std::string salt_;
  std::string expected_;
  DigestContext context_;
};

// The one-shot forms: one engine, one update with the whole content.
TokenValue salted_token(std::span<const std::uint8_t> content,
                        std::optional<std::string_view> salt);
Status verify_salted(std::string_view expected, std::string_view salt,
                     std::span<const std::uint8_t> content);

}  // namespace core_fips
