// Every library service the module performs must be one that the library's own FIPS indicator
// counts as approved. The indicator is a per-thread counter that each approved service advances.
#include <gtest/gtest.h>
#include <openssl/aead.h>
#include <openssl/service_indicator.h>

#include <array>
#include <vector>

#include "digest/salted_digest.hpp"
#include "envelope/envelope.hpp"
#include "key_test_support.hpp"

namespace core_fips {
namespace {

// The library's own reading of its indicator: `call` ran an approved service when the counter
// moved (an RSA-OAEP encryption moves it twice).
template <class Call>
bool approved(Call&& call) {
  const std::uint64_t before = FIPS_service_indicator_before_call();
  call();
  return FIPS_service_indicator_after_call() != before;
}

TEST(FipsIndicator, EveryDigestServiceIsApproved) {
  const std::vector<std::uint8_t> content(1000, 0x61);
  EXPECT_TRUE(approved([&] { (void)salted_token(content, "salt"); }));
  EXPECT_TRUE(approved([&] { EXPECT_FALSE(verify_salted("x", "salt", content).ok()); }));
  SaltedDigest streaming(std::string_view("salt"));
  // The running hash is one service, counted when it is finished.
  EXPECT_TRUE(approved([&] {
    streaming.update(content);
    streaming.update(content);
    (void)std::move(streaming).finish();
  }));
}

TEST(FipsIndicator, EveryEnvelopeServiceIsApproved) {
  SecretBuffer<kContentKeyLength> key;
  EXPECT_TRUE(approved([&] { ASSERT_TRUE(draw_content_key(key).ok()); }));
  Result<bssl::UniquePtr<EVP_AEAD_CTX>> cipher = content_cipher(key);
  ASSERT_TRUE(cipher.ok());
  const std::vector<std::uint8_t> plaintext(100, 0x62);
  std::vector<std::uint8_t> ciphertext(plaintext.size());
  std::array<std::uint8_t, kNonceLength> nonce{};
  std::array<std::uint8_t, kTagLength> tag{};
  EXPECT_TRUE(approved(
      [&] { ASSERT_TRUE(seal_content(*cipher.value(), plaintext, ciphertext, nonce, tag).ok()); }));

  Result<RsaEncryptionKey> rsa = parse_rsa_public_key_pem(ascii(testing::key_2048().public_pem));
  ASSERT_TRUE(rsa.ok());
  std::vector<std::uint8_t> wrapped(rsa.value().size());
  EXPECT_TRUE(approved([&] { ASSERT_TRUE(wrap_key(rsa.value().get(), key, wrapped).ok()); }));
}

// The check can fail: GCM sealing with a nonce chosen outside the module is not approved.
TEST(FipsIndicator, SealingWithAnExternalNonceIsNotApproved) {
  SecretBuffer<kContentKeyLength> key;
  ASSERT_TRUE(draw_content_key(key).ok());
  bssl::ScopedEVP_AEAD_CTX aead;
  ASSERT_TRUE(EVP_AEAD_CTX_init(aead.get(), EVP_aead_aes_256_gcm(), key.data(), key.size(),
                                kTagLength, nullptr));
  const std::array<std::uint8_t, kNonceLength> nonce{};
  std::array<std::uint8_t, 5 + kTagLength> sealed{};
  std::size_t sealed_length = 0;
  EXPECT_FALSE(approved([&] {
    ASSERT_TRUE(EVP_AEAD_CTX_seal(aead.get(), sealed.data(), &sealed_length, sealed.size(),
                                  nonce.data(), nonce.size(), ascii("12345").data(), 5, nullptr,
                                  0));
  }));
}

}  // namespace
}  // namespace core_fips
