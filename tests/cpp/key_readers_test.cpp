// The readers under the key intake, where they decide more than the intake lets one see.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/bytestring.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <optional>
#include <string>

#include "envelope/base64.hpp"
#include "envelope/der.hpp"
#include "envelope/pem.hpp"
#include "envelope/utf8.hpp"
#include "key_test_support.hpp"

namespace core_fips {
namespace {

using testing::Der;
using testing::der_unsigned;
using testing::tlv;
using testing::operator+;

TEST(KeyUtf8, ReportsTheFirstFailureAsTheErrorTextsExpect) {
  using F = CoreError::Utf8Failure;
  const std::pair<std::string, std::optional<F>> cases[] = {
      {"-----BEGIN \xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF", std::nullopt},
      {"\xF0\x90\x80\x80\xF3\xBF\xBF\xBF\xF4\x8F\xBF\xBF", std::nullopt},
      {"\xFF", F{0, 1}},
      {"ab\x80", F{2, 1}},            // continuation without a lead
      {"\xC0\x80", F{0, 1}},          // overlong lead
      {"\xE0\x80", F{0, 1}},          // overlong, though also cut short
      {"\xE0\x9F\xBF", F{0, 1}},      // overlong
      {"\xED\xA0\x80", F{0, 1}},      // surrogate
      {"\xF0\x8F\xBF\xBF", F{0, 1}},  // overlong
      {"\xF4\x90\x80\x80", F{0, 1}},  // above U+10FFFF
      {"\xF5\x80\x80\x80", F{0, 1}},
      {"x\xC3\x41", F{1, 1}},
      {"\xE2\x82\x41", F{0, 2}},
      {"\xF0\x9F\x98\x41", F{0, 3}},
      {"\xC3", F{0, std::nullopt}},
      {"a\xE2\x82", F{1, std::nullopt}},
      {"ok\xF0\x90\x80", F{2, std::nullopt}},
  };
  for (const auto& [bytes, expected] : cases) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    const std::optional<F> got = find_utf8_error(ascii(bytes));
    ASSERT_EQ(got.has_value(), expected.has_value());
    if (got) {
      EXPECT_EQ(got->valid_up_to, expected->valid_up_to);
      EXPECT_EQ(got->error_len, expected->error_len);
    }
  }
}

TEST(KeyPem, LabelAndBodyBetweenTheBoundaries) {
  const std::optional<PemBlock> block = read_pem_block(
      ascii("x-----BEGIN A-----\n-----BEGIN A\tB-----\r\nQUJD\rREVG\r\n-----END A\tB-----"));
  ASSERT_TRUE(block);
  EXPECT_EQ(std::string(block->label.begin(), block->label.end()), "A\tB");
  EXPECT_EQ(std::string(block->body.begin(), block->body.end()), "QUJD\rREVG");

  const auto label_ok = [](const std::string& label) {
    return read_pem_block(ascii("-----BEGIN " + label + "-----\nQUJD\n-----END " + label + "-----"))
        .has_value();
  };
  EXPECT_TRUE(label_ok(""));
  EXPECT_TRUE(label_ok("A "));
  for (const char* bad : {" A", "A  B", "A \tB", "A\x7F", "A\xC3\xA9", "A-B", "A-"}) {
    EXPECT_FALSE(label_ok(bad)) << bad;
  }
  EXPECT_FALSE(read_pem_block(ascii("-----BEGIN A-----QUJD\n-----END A-----")));
  EXPECT_FALSE(read_pem_block(ascii("-----BEGIN A-----\nQUJD-----END A-----")));
}

TEST(KeyBase64, CanonicalPaddedGroupsIn64ColumnLines) {
  const auto decode = [](const std::string& body) -> std::optional<Der> {
    const std::optional<WipedBytes> bytes = decode_pem_base64(ascii(body));
    if (!bytes) return std::nullopt;
    return Der(bytes->begin(), bytes->end());
  };
  EXPECT_EQ(decode("TWFu"), (Der{'M', 'a', 'n'}));
  EXPECT_EQ(decode("TWE=\r"), (Der{'M', 'a'}));
  EXPECT_EQ(decode("+/8="), (Der{0xFB, 0xFF}));
  for (const char* bad : {"", "TQ", "TQ=", "T===", "====", "TQ==TWFu", "TW=u",
                          "TR==", "TWF=", "TW-u", "TW u", "TWFu\n\n", "TWFu "}) {
    EXPECT_FALSE(decode(bad)) << ::testing::PrintToString(bad);
  }

  const std::string chars = testing::base64(Der(120, 0xA5));  // 160 characters
  const std::string l1 = chars.substr(0, 64), l2 = chars.substr(64, 64), l3 = chars.substr(128);
  EXPECT_EQ(decode(l1 + "\r\n" + l2 + "\r" + l3 + "\n"), Der(120, 0xA5));
  EXPECT_FALSE(decode(chars));
  EXPECT_FALSE(decode(l1 + "\n\n" + l2 + "\n" + l3));
  EXPECT_FALSE(
      decode(chars.substr(0, 60) + "\n" + chars.substr(60, 64) + "\n" + chars.substr(124)));
  // Data ending on a full line: that line takes the next break as its own, and the last line is
  // then one more break, which is dropped. So two empty lines pass here, three do not.
  EXPECT_TRUE(decode(l1 + "\n" + l2 + "\n\n"));
  EXPECT_FALSE(decode(l1 + "\n" + l2 + "\n\n\n"));
}

std::optional<std::size_t> sequence_length(ByteSpan der) {
  ByteCursor in(der);
  const std::optional<ByteSpan> content = read_der_element(in, kDerSequence);
  if (!content) {
    EXPECT_EQ(in.size(), der.size()) << "a failed read must not move the cursor";
    return std::nullopt;
  }
  return content->size();
}

TEST(KeyDer, LengthsAreDefiniteMinimalAndBounded) {
  EXPECT_EQ(sequence_length(Der{0x30, 0x7F} + Der(127)), 127u);
  EXPECT_EQ(sequence_length(Der{0x30, 0x81, 0x80} + Der(128)), 128u);
  EXPECT_EQ(sequence_length(Der{0x30, 0x82, 0x01, 0x00} + Der(256)), 256u);
  EXPECT_EQ(sequence_length(Der{0x30, 0x83, 0x01, 0x00, 0x00} + Der(65536)), 65536u);
  EXPECT_FALSE(sequence_length(Der{0x30, 0x81, 0x05} + Der(5)));
  EXPECT_FALSE(sequence_length(Der{0x30, 0x82, 0x00, 0xFF} + Der(255)));
  EXPECT_FALSE(sequence_length(Der{0x30, 0x80, 0x00, 0x00}));
  EXPECT_FALSE(sequence_length(Der{0x30, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_FALSE(sequence_length(Der{0x30, 0x03, 0x02, 0x01}));  // runs past the input
  EXPECT_FALSE(sequence_length(Der{0x31, 0x00}));

  Der big = Der{0x30, 0x84, 0x0F, 0xFF, 0xFF, 0xFF} + Der(kDerMaxLength + 1);
  EXPECT_EQ(sequence_length(ByteSpan(big).first(big.size() - 1)), kDerMaxLength);
  big[2] = 0x10, big[3] = big[4] = big[5] = 0x00;
  EXPECT_FALSE(sequence_length(big));
  big[2] = 0x00, big[3] = big[4] = big[5] = 0xFF;  // fits in three octets
  EXPECT_FALSE(sequence_length(ByteSpan(big).first(6 + 0xFFFFFF)));
}

TEST(KeyDer, RsaPublicKeyIsTwoUnsignedMinimalIntegers) {
  const auto modulus = [](const Der& integer) -> std::optional<Der> {
    const Der document = tlv(0x30, integer + Der{2, 1, 3});  // the result views it
    const std::optional<RsaPublicComponents> key = read_rsa_public_key(document);
    if (!key) return std::nullopt;
    return Der(key->modulus.begin(), key->modulus.end());
  };
  EXPECT_EQ(modulus({0x02, 0x01, 0x00}), Der{});
  EXPECT_EQ(modulus({0x02, 0x02, 0x00, 0x80}), Der{0x80});
  EXPECT_EQ(modulus({0x02, 0x02, 0x7F, 0x00}), (Der{0x7F, 0x00}));
  for (const Der& bad : {Der{0x02, 0x00}, Der{0x02, 0x01, 0x80}, Der{0x02, 0x02, 0x00, 0x7F},
                         Der{0x02, 0x03, 0x00, 0x00, 0x80}, Der{0x03, 0x01, 0x01}}) {
    EXPECT_FALSE(modulus(bad));
  }
  const Der n = der_unsigned({0xC3}), e = der_unsigned({0x03});
  EXPECT_TRUE(read_rsa_public_key(tlv(0x30, n + e)) && is_single_der_sequence(tlv(0x30, n + e)));
  EXPECT_FALSE(read_rsa_public_key(tlv(0x30, n)));
  EXPECT_FALSE(read_rsa_public_key(tlv(0x30, n + e + Der{0x00})));
  EXPECT_FALSE(read_rsa_public_key(tlv(0x30, tlv(0x30, n + e))));
  EXPECT_FALSE(read_rsa_public_key(tlv(0x30, n + e) + Der{0x00}));
  EXPECT_FALSE(is_single_der_sequence(tlv(0x30, n + e) + Der{0x00}));
}

TEST(KeyRules, AreCheckedInOrder) {
  const auto broken = [](const Der& n, const Der& e) {
    return first_broken_key_rule({ByteSpan(n), ByteSpan(e)});
  };
  const Der n4096 = Der{0x80} + Der(510) + Der{0x01}, n2048 = Der{0xC0} + Der(254, 0x5A) + Der{1};
  using R = KeyRule;
  EXPECT_EQ(broken(n4096, {0x01, 0x00, 0x01}), std::nullopt);
  EXPECT_EQ(broken(n2048, {0x01, 0xFF, 0xFF, 0xFF, 0xFF}), std::nullopt);  // 2^33 - 1
  EXPECT_EQ(broken(Der{0x01} + n4096, {0x02}), R::ModulusAtMost4096Bits);
  EXPECT_EQ(broken({0x01}, Der(9, 0x01)), R::ExponentFitsIn64Bits);
  EXPECT_EQ(broken({0x07}, {0x07}), R::ExponentBelowModulus);
  EXPECT_EQ(broken({}, {}), R::ExponentBelowModulus);
  EXPECT_EQ(broken({0x08}, {0x04}), R::ModulusOdd);
  EXPECT_EQ(broken(n2048, {0x02}), R::ExponentOdd);
  EXPECT_EQ(broken(n2048, {}), R::ExponentOdd);
  EXPECT_EQ(broken(n2048, {0x01}), R::ExponentAtLeast2);
  EXPECT_EQ(broken(n2048, {0x02, 0x00, 0x00, 0x00, 0x01}), R::ExponentAtMost33Bits);
  EXPECT_EQ(broken(n2048, Der(8, 0xFF)), R::ExponentAtMost33Bits);
}

// The library's own SubjectPublicKeyInfo for the same numbers.
Der library_spki(const Der& n, const Der& e) {
  bssl::UniquePtr<RSA> rsa(RSA_new());
  RSA_set0_key(rsa.get(), BN_bin2bn(n.data(), n.size(), nullptr),
               BN_bin2bn(e.data(), e.size(), nullptr), nullptr);
  bssl::UniquePtr<EVP_PKEY> key(EVP_PKEY_new());
  EVP_PKEY_set1_RSA(key.get(), rsa.get());
  bssl::ScopedCBB cbb;
  CBB_init(cbb.get(), 0);
  std::uint8_t* out = nullptr;
  std::size_t out_len = 0;
  EXPECT_TRUE(EVP_marshal_public_key(cbb.get(), key.get()) &&
              CBB_finish(cbb.get(), &out, &out_len));
  const bssl::UniquePtr<std::uint8_t> owned(out);
  return Der(out, out + out_len);
}

TEST(KeyDer, SubjectPublicKeyInfoIsTheLibrarysAndEmbedsTheDocument) {
  for (const std::size_t size : {1u, 120u, 121u, 122u, 123u, 250u, 256u, 512u}) {
    for (const int top : {0x01, 0x7F, 0x80, 0xFF}) {
      Der n(size, 0x35);
      n.front() = static_cast<std::uint8_t>(top);
      const Der e = {0x01, 0x00, 0x01};
      SCOPED_TRACE(std::to_string(size) + " octets from " + std::to_string(top));
      const Der spki = encode_subject_public_key_info({ByteSpan(n), ByteSpan(e)});
      EXPECT_EQ(spki, library_spki(n, e));
      const Der document = testing::rsa_public_key_der(n, e);
      EXPECT_EQ(Der(spki.end() - static_cast<std::ptrdiff_t>(document.size()), spki.end()),
                document);
    }
  }
}

}  // namespace
}  // namespace core_fips
