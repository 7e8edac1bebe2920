// The ML-KEM key intake's own rules (the PEM, Base64 and DER readers it shares with the RSA intake
// are tested there), its envelope's layout, and what the FIPS service indicator reads of it: the
// encapsulation and the internal-IV seal, and no other draw. Recipients we did not write open the
// envelopes in the Python tests.
#include <gtest/gtest.h>
#include <openssl/nid.h>
#include <openssl/service_indicator.h>

#include <vector>

#include "envelope/mlkem_envelope.hpp"
#include "key_test_support.hpp"

namespace core_fips {
namespace {

using testing::Der;
using testing::mlkem_public_pem;
using testing::mlkem_raw_key;

constexpr unsigned kQ = 3329;

bool accepted(const std::string& pem) { return parse_mlkem_public_key_pem(ascii(pem)).ok(); }

template <class Call>
std::uint64_t moves(Call&& call) {
  const std::uint64_t before = FIPS_service_indicator_before_call();
  call();
  return FIPS_service_indicator_after_call() - before;
}

TEST(MlKemIntake, TakesBothSetsAndNamesThem) {
  const Result<MlKemEncapsulationKey> k768 =
      parse_mlkem_public_key_pem(ascii(mlkem_public_pem(mlkem_raw_key(3), 2)));
  const Result<MlKemEncapsulationKey> k1024 =
      parse_mlkem_public_key_pem(ascii(mlkem_public_pem(mlkem_raw_key(4), 3)));
  ASSERT_TRUE(k768.ok() && k1024.ok());
  EXPECT_EQ(k768.value().parameter_set().nid, NID_MLKEM768);
  EXPECT_EQ(k768.value().parameter_set().ciphertext_length, 1088u);
  EXPECT_EQ(k1024.value().parameter_set().nid, NID_MLKEM1024);
  EXPECT_EQ(k1024.value().parameter_set().ciphertext_length, 1568u);
}

// FIPS 203's modulus check, at its boundary, in either slot of a triple, first to last.
TEST(MlKemIntake, EveryCoefficientMustBeBelowQ) {
  for (const std::size_t k : {3u, 4u}) {
    const auto arc = static_cast<std::uint8_t>(k - 1);
    for (const std::size_t at : {std::size_t{0}, std::size_t{1}, 256 * k - 2, 256 * k - 1}) {
      for (const unsigned value : {kQ - 1, kQ, 4095u}) {
        const Der raw = mlkem_raw_key(
            k, [&](std::size_t i) { return i == at ? value : static_cast<unsigned>(i % kQ); });
        EXPECT_EQ(accepted(mlkem_public_pem(raw, arc)), value < kQ)
            << k << " " << at << " " << value;
      }
    }
  }
}

TEST(MlKemIntake, TheRsaKeyAndTheLabelsAreNotMixedUp) {
  std::string relabelled = mlkem_public_pem(mlkem_raw_key(3), 2);
  ASSERT_TRUE(accepted(relabelled));
  relabelled.replace(relabelled.find("PUBLIC KEY"), 10, "RSA PUBLIC KEY");
  relabelled.replace(relabelled.rfind("PUBLIC KEY"), 10, "RSA PUBLIC KEY");
  EXPECT_FALSE(accepted(relabelled));
  EXPECT_FALSE(accepted(testing::key_2048().public_pem));
  EXPECT_FALSE(parse_rsa_public_key_pem(ascii(mlkem_public_pem(mlkem_raw_key(3), 2))).ok());
}

TEST(MlKemEnvelope, HasEncryptsLayout) {
  const std::vector<std::uint8_t> plaintext(1000, 0x61);
  const Result<std::vector<std::uint8_t>> envelope =
      encrypt_mlkem_envelope(ascii(mlkem_public_pem(mlkem_raw_key(4), 3)), plaintext);
  ASSERT_TRUE(envelope.ok());
  ASSERT_EQ(envelope.value().size(), 2 + 1568 + 12 + plaintext.size() + 16);
  EXPECT_EQ(envelope.value()[0], 0x06);  // 1568
  EXPECT_EQ(envelope.value()[1], 0x20);
}

// The indicator's readings: encapsulation 1, the internal-IV seal 1, one call 2.
TEST(FipsIndicator, EncapsulationMovesItOnceAndAnEnvelopeTwice) {
  const std::string pem = mlkem_public_pem(mlkem_raw_key(4), 3);
  Result<MlKemEncapsulationKey> key = parse_mlkem_public_key_pem(ascii(pem));
  ASSERT_TRUE(key.ok());
  std::vector<std::uint8_t> ciphertext(1568);
  SecretBuffer<kContentKeyLength> secret;
  EXPECT_EQ(moves([&] { ASSERT_TRUE(encapsulate(key.value(), ciphertext, secret).ok()); }), 1u);
  const std::vector<std::uint8_t> plaintext(100, 0x62);
  EXPECT_EQ(moves([&] { ASSERT_TRUE(encrypt_mlkem_envelope(ascii(pem), plaintext).ok()); }), 2u);
}

// Why the modulus check is ours: the library takes such a key, and only its encapsulation fails,
// counting nothing.
TEST(FipsIndicator, TheLibraryTakesAKeyOverQAndFailsLater) {
  const Der raw = mlkem_raw_key(3, [](std::size_t i) { return i == 5 ? kQ : 1u; });
  bssl::UniquePtr<EVP_PKEY> key(
      EVP_PKEY_kem_new_raw_public_key(NID_MLKEM768, raw.data(), raw.size()));
  ASSERT_TRUE(key);
  bssl::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  std::vector<std::uint8_t> ciphertext(1088);
  SecretBuffer<kContentKeyLength> secret;
  std::size_t ciphertext_length = ciphertext.size(), secret_length = secret.size();
  EXPECT_EQ(moves([&] {
              EXPECT_EQ(EVP_PKEY_encapsulate(ctx.get(), ciphertext.data(), &ciphertext_length,
                                             secret.data(), &secret_length),
                        0);
            }),
            0u);
  ERR_clear_error();
  EXPECT_FALSE(accepted(mlkem_public_pem(raw, 2)));
}

}  // namespace
}  // namespace core_fips
