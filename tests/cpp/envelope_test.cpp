// Envelopes opened again with the library and the private key: layout, content, and refusals.
#include "envelope/envelope.hpp"

#include <gtest/gtest.h>
#include <openssl/aead.h>
#include <openssl/bn.h>
#include <openssl/digest.h>
#include <openssl/rsa.h>

#include <memory>
#include <new>
#include <stdexcept>

#include "key_test_support.hpp"

namespace core_fips {
namespace {

using testing::key_2048;

// The recipient's side, with the library: nullopt when the envelope does not open. The content
// key it unwrapped goes to `content_key` when given.
std::optional<std::vector<std::uint8_t>> open_envelope(
    const std::vector<std::uint8_t>& env, std::vector<std::uint8_t>* content_key = nullptr) {
  const std::size_t k = (std::size_t{env[0]} << 8) | env[1];
  bssl::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key_2048().private_key.get(), nullptr));
  std::uint8_t key[512];
  std::size_t key_length = sizeof key;
  if (!EVP_PKEY_decrypt_init(ctx.get()) ||
      !EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) ||
      !EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha256()) ||
      !EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) ||
      !EVP_PKEY_decrypt(ctx.get(), key, &key_length, env.data() + 2, k) || key_length != 32) {
    return std::nullopt;
  }
  if (content_key) content_key->assign(key, key + key_length);
  bssl::ScopedEVP_AEAD_CTX aead;
  const std::uint8_t* nonce = env.data() + 2 + k;
  const std::uint8_t* sealed = nonce + kNonceLength;
  const std::size_t sealed_length = env.size() - 2 - k - kNonceLength;
  std::vector<std::uint8_t> plaintext(sealed_length);
  std::size_t out_length = 0;
  if (!EVP_AEAD_CTX_init(aead.get(), EVP_aead_aes_256_gcm(), key, 32, kTagLength, nullptr) ||
      !EVP_AEAD_CTX_open(aead.get(), plaintext.data(), &out_length, plaintext.size(), nonce,
                         kNonceLength, sealed, sealed_length, nullptr, 0)) {
    return std::nullopt;
  }
  plaintext.resize(out_length);
  return plaintext;
}

TEST(Envelope, LayoutAndRoundTrip) {
  for (const std::string_view text : {std::string_view(""), std::string_view("12345"),
                                      std::string_view("a longer plaintext than one block")}) {
    Result<std::vector<std::uint8_t>> env =
        encrypt_envelope(ascii(key_2048().public_pem), ascii(text));
    ASSERT_TRUE(env.ok());
    ASSERT_EQ(env.value().size(), 286 + text.size());
    EXPECT_EQ(env.value()[0], 0x01);
    EXPECT_EQ(env.value()[1], 0x00);
    const auto opened = open_envelope(env.value());
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(std::string(opened->begin(), opened->end()), text);
  }
}

TEST(Envelope, AlteredContentDoesNotOpenAndEachEnvelopeIsFresh) {
  const auto a = encrypt_envelope(ascii(key_2048().public_pem), ascii("same")).value();
  const auto b = encrypt_envelope(ascii(key_2048().public_pem), ascii("same")).value();
  EXPECT_NE(a, b);
  // A fresh content key each time: a fixed one would still give fresh wraps and nonces.
  std::vector<std::uint8_t> key_a, key_b;
  ASSERT_TRUE(open_envelope(a, &key_a) && open_envelope(b, &key_b));
  EXPECT_NE(key_a, key_b);
  EXPECT_NE(key_a, std::vector<std::uint8_t>(kContentKeyLength, 0));
  for (std::size_t i = 2 + 256; i < a.size(); ++i) {
    auto altered = a;
    altered[i] ^= 0x80;
    EXPECT_FALSE(open_envelope(altered).has_value()) << "octet " << i;
  }
}

TEST(Envelope, RefusalsAreTheIntakeErrorsOrEncryptionFailed) {
  auto refused = encrypt_envelope(ascii("not a key"), ascii("x"));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), CoreError::Kind::InvalidPublicKey);

  // A buffer one octet short or long is refused before anything is written into it (the AEAD alone
  // would seal into the long one and leave a trailing octet behind the tag).
  for (const bool longer : {false, true}) {
    Result<EnvelopeSealer> sealer = EnvelopeSealer::prepare(ascii(key_2048().public_pem));
    ASSERT_TRUE(sealer.ok());
    const std::size_t exact = sealer.value().output_length(5);
    const std::vector<std::uint8_t> untouched(longer ? exact + 1 : exact - 1, 0xa5);
    std::vector<std::uint8_t> out = untouched;
    Status sealed = std::move(sealer).value().seal_into(ascii("12345"), out);
    ASSERT_FALSE(sealed.ok()) << (longer ? "long" : "short");
    EXPECT_EQ(sealed.error().kind(), CoreError::Kind::EncryptionFailed);
    EXPECT_EQ(out, untouched) << (longer ? "long" : "short");
  }
}

TEST(SecretBuffer, ZeroAfterAMoveAndAfterWipe) {
  const std::vector<std::uint8_t> zeros(kContentKeyLength, 0);
  auto contents = [](const SecretBuffer<kContentKeyLength>& b) {
    return std::vector<std::uint8_t>(b.data(), b.data() + b.size());
  };
  SecretBuffer<kContentKeyLength> key;
  ASSERT_TRUE(draw_content_key(key).ok());
  const std::vector<std::uint8_t> drawn = contents(key);
  ASSERT_NE(drawn, zeros);
  SecretBuffer<kContentKeyLength> moved(std::move(key));
  EXPECT_EQ(contents(moved), drawn);
  EXPECT_EQ(contents(key), zeros);  // the moved-from buffer
  moved.wipe();
  EXPECT_EQ(contents(moved), zeros);
}

TEST(SecretBuffer, ZeroOnceDestroyed) {
  // A failed seal ends with the key's destruction alone: that must wipe it. The bytes are read
  // from the storage the buffer was placed in.
  alignas(SecretBuffer<kContentKeyLength>) unsigned char
      storage[sizeof(SecretBuffer<kContentKeyLength>)];
  auto* key = new (storage) SecretBuffer<kContentKeyLength>();
  ASSERT_TRUE(draw_content_key(*key).ok());
  key->~SecretBuffer();
  EXPECT_EQ(std::vector<std::uint8_t>(storage, storage + sizeof storage),
            std::vector<std::uint8_t>(sizeof storage, 0));
}

}  // namespace
}  // namespace core_fips
