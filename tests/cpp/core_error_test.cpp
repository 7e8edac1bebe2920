#include "errors/core_error.hpp"

#include <gtest/gtest.h>

namespace core_fips {
namespace {

TEST(CoreErrorText, FixedTextsHaveTheirExactLengths) {
  EXPECT_EQ(CoreError::invalid_public_key().message().size(), 18u);
  EXPECT_EQ(CoreError::rsa_key_too_small().message().size(), 59u);
  EXPECT_EQ(CoreError::aead().message().size(), 10u);
  EXPECT_EQ(CoreError::encryption_failed().message().size(), 17u);
  EXPECT_EQ(CoreError::decryption_failed().message().size(), 17u);
  EXPECT_EQ(CoreError::malformed_data().message().size(), 14u);
  EXPECT_EQ(CoreError::fips_self_attest_failed().message().size(), 75u);
}

TEST(CoreErrorText, PayloadKindsKeepTheirPayloadAndSuffix) {
  EXPECT_EQ(CoreError::generic("Token mismatch").message(), "Generic error: Token mismatch \n");
  EXPECT_EQ(CoreError::generic("a\nb").message(), "Generic error: a\nb \n");
  EXPECT_EQ(CoreError::json("eof").message(), "Serde error: eof \n");
  EXPECT_EQ(CoreError::utf8({0, 1}).message(),
            "UTF8 error: invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(CoreError::utf8({12345, std::nullopt}).message(),
            "UTF8 error: incomplete utf-8 byte sequence from index 12345");
}

}  // namespace
}  // namespace core_fips
