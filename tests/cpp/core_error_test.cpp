#include "errors/core_error.hpp"

#include <gtest/gtest.h>

#include <string>

#include "errors/surface_texts.hpp"

namespace core_fips {
namespace {

// The display texts reach Python callers verbatim as ValueError messages, so each kind's text is
// pinned character for character, in declaration order (the ordinals are fixed too).
TEST(CoreErrorText, EveryKindDisplaysItsExactText) {
  const struct {
    CoreError error;
    int ordinal;
    std::string text;
  } table[] = {
      {CoreError::json("eof"), 0, "Serde error: eof \n"},
      {CoreError::invalid_public_key(), 1, "Invalid public key"},
      {CoreError::rsa_key_too_small(), 2,
       "RSA key is below the minimum FIPS-approved size (2048 bits)"},
      {CoreError::aead(), 3, "AEAD error"},
      {CoreError::encryption_failed(), 4, "Encryption failed"},
      {CoreError::decryption_failed(), 5, "Decryption failed"},
      {CoreError::malformed_data(), 6, "Malformed data"},
      {CoreError::utf8({0, 1}), 7, "UTF8 error: invalid utf-8 sequence of 1 bytes from index 0"},
      {CoreError::utf8({12345, std::nullopt}), 7,
       "UTF8 error: incomplete utf-8 byte sequence from index 12345"},
      {CoreError::fips_self_attest_failed(), 8,
       "System FIPS mode is not configured correctly. Rust FIPS self-attest failed."},
      {CoreError::generic(surface::kTokenMismatch), 9, "Generic error: Token mismatch \n"},
      {CoreError::generic("a\nb"), 9, "Generic error: a\nb \n"},
  };
  for (const auto& row : table) {
    EXPECT_EQ(row.error.message(), row.text);
    EXPECT_EQ(static_cast<int>(row.error.kind()), row.ordinal) << row.text;
  }
}

}  // namespace
}  // namespace core_fips
