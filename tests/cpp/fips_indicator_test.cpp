// What the library's FIPS service indicator says of each service the module runs. The indicator
// is a per-thread counter that every approved primitive advances, nested ones included; so it
// tells which primitives ran, not which services are approved (the Security Policy says that).
// RSA-OAEP encryption is not an approved service, yet its padding hashes the label with SHA-256
// and draws its seed from the DRBG, both approved: the counter moves by exactly those two.
#include <gtest/gtest.h>
#include <openssl/aead.h>
#include <openssl/digest.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/service_indicator.h>

#include <array>
#include <vector>

#include "digest/salted_digest.hpp"
#include "envelope/envelope.hpp"
#include "key_test_support.hpp"

namespace core_fips {
namespace {

// How far `call` moves this thread's indicator.
template <class Call>
std::uint64_t moves(Call&& call) {
  const std::uint64_t before = FIPS_service_indicator_before_call();
  call();
  return FIPS_service_indicator_after_call() - before;
}

std::uint64_t one_sha256() {
  return moves([] {
    std::array<std::uint8_t, 32> out{};
    unsigned length = 0;
    ASSERT_EQ(EVP_Digest(nullptr, 0, out.data(), &length, EVP_sha256(), nullptr), 1);
  });
}

std::uint64_t one_drbg_draw() {
  return moves([] {
    std::array<std::uint8_t, kContentKeyLength> out{};
    ASSERT_EQ(RAND_bytes(out.data(), out.size()), 1);
  });
}

// A wrap whose indicator reading is exactly OAEP's nested primitives: one SHA-256 and one draw.
::testing::AssertionResult moves_like_oaep(std::uint64_t wrap) {
  const std::uint64_t nested = one_sha256() + one_drbg_draw();
  if (wrap == nested && nested == 2) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the wrap moved the indicator by " << wrap
                                       << ", OAEP's SHA-256 and DRBG draw by " << nested;
}

struct Envelope {
  Result<RsaEncryptionKey> rsa = parse_rsa_public_key_pem(ascii(testing::key_2048().public_pem));
  SecretBuffer<kContentKeyLength> key;
};

TEST(FipsIndicator, EachDigestTokenIsOneSha384) {
  const std::vector<std::uint8_t> content(1000, 0x61);
  EXPECT_EQ(moves([&] { (void)salted_token(content, "salt"); }), 1u);
  EXPECT_EQ(moves([&] { EXPECT_FALSE(verify_salted("x", "salt", content).ok()); }), 1u);
  SaltedDigest streaming(std::string_view("salt"));
  // The running hash is one service, counted when it is finished.
  EXPECT_EQ(moves([&] {
              streaming.update(content);
              streaming.update(content);
              (void)std::move(streaming).finish();
            }),
            1u);
}

TEST(FipsIndicator, KeyDrawAndSealingWithTheModulesNonceMoveIt) {
  Envelope e;
  EXPECT_EQ(moves([&] { ASSERT_TRUE(draw_content_key(e.key).ok()); }), 1u);
  Result<bssl::UniquePtr<EVP_AEAD_CTX>> cipher = content_cipher(e.key);
  ASSERT_TRUE(cipher.ok());
  const std::vector<std::uint8_t> plaintext(100, 0x62);
  std::vector<std::uint8_t> ciphertext(plaintext.size());
  std::array<std::uint8_t, kNonceLength> nonce{};
  std::array<std::uint8_t, kTagLength> tag{};
  EXPECT_EQ(moves([&] {
              ASSERT_TRUE(seal_content(*cipher.value(), plaintext, ciphertext, nonce, tag).ok());
            }),
            1u);
}

// The control: GCM sealing with a nonce chosen outside the module is not approved.
TEST(FipsIndicator, SealingWithAnExternalNonceDoesNotMoveIt) {
  Envelope e;
  ASSERT_TRUE(draw_content_key(e.key).ok());
  bssl::ScopedEVP_AEAD_CTX aead;
  ASSERT_TRUE(EVP_AEAD_CTX_init(aead.get(), EVP_aead_aes_256_gcm(), e.key.data(), e.key.size(),
                                kTagLength, nullptr));
  const std::array<std::uint8_t, kNonceLength> nonce{};
  std::array<std::uint8_t, 5 + kTagLength> sealed{};
  std::size_t sealed_length = 0;
  EXPECT_EQ(moves([&] {
              ASSERT_TRUE(EVP_AEAD_CTX_seal(aead.get(), sealed.data(), &sealed_length,
                                            sealed.size(), nonce.data(), nonce.size(),
                                            ascii("12345").data(), 5, nullptr, 0));
            }),
            0u);
}

TEST(FipsIndicator, TheOaepWrapMovesItByItsNestedSha256AndDrbgDrawOnly) {
  Envelope e;
  ASSERT_TRUE(e.rsa.ok());
  std::vector<std::uint8_t> wrapped(e.rsa.value().size());
  EXPECT_TRUE(moves_like_oaep(
      moves([&] { ASSERT_TRUE(wrap_key(e.rsa.value().get(), e.key, wrapped).ok()); })));
  // The RSA operation itself, without padding, is nothing the indicator counts.
  RSA* rsa = EVP_PKEY_get0_RSA(e.rsa.value().get());
  std::vector<std::uint8_t> block(wrapped.size(), 0);
  block[1] = 1;  // below the modulus
  EXPECT_EQ(moves([&] {
              ASSERT_EQ(RSA_public_encrypt(block.size(), block.data(), wrapped.data(), rsa,
                                           RSA_NO_PADDING),
                        static_cast<int>(wrapped.size()));
            }),
            0u);
  // The check can fail: a wrap that skips OAEP, or draws twice, is told apart.
  EXPECT_FALSE(moves_like_oaep(0));
  EXPECT_FALSE(moves_like_oaep(moves([&] {
    ASSERT_TRUE(wrap_key(e.rsa.value().get(), e.key, wrapped).ok());
    ASSERT_TRUE(draw_content_key(e.key).ok());
  })));
}

// One encrypt call: the key draw, the sealing, and OAEP's two nested primitives.
TEST(FipsIndicator, OneEnvelopeMovesItFourTimes) {
  const std::span<const std::uint8_t> pem = ascii(testing::key_2048().public_pem);  // made first
  const std::vector<std::uint8_t> plaintext(100, 0x63);
  EXPECT_EQ(moves([&] { ASSERT_TRUE(encrypt_envelope(pem, plaintext).ok()); }), 4u);
}

}  // namespace
}  // namespace core_fips
