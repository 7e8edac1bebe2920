// The readers under the key intake, one by one: cursor, UTF-8, PEM envelope, Base64, DER, key
// rules and the SubjectPublicKeyInfo encoding.
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

std::string text_of(ByteSpan bytes) {
  return {bytes.begin(), bytes.end()};
}

TEST(KeyCursor, FailedReadsLeaveTheCursorWhereItWas) {
  const Der data = {1, 2, '-', 4};
  ByteCursor in{ByteSpan(data)};
  EXPECT_FALSE(in.get_bytes(5));
  EXPECT_FALSE(in.get_until('x'));
  EXPECT_FALSE(in.skip_suffix(ascii("x\x04")));
  EXPECT_EQ(in.size(), 4u);

  EXPECT_EQ(in.get_u8(), 1);
  EXPECT_EQ(in.get_until('-')->size(), 1u);
  EXPECT_EQ(in.peek(), '-');
  EXPECT_TRUE(in.skip_suffix(Der{4}));
  EXPECT_FALSE(in.drop_last(2));
  EXPECT_TRUE(in.skip(1));
  EXPECT_TRUE(in.empty());
  EXPECT_FALSE(in.get_u8());
  EXPECT_FALSE(in.peek());
}

struct Utf8Case {
  std::string bytes;
  std::optional<CoreError::Utf8Failure> expected;
};

TEST(KeyUtf8, ReportsTheFirstFailureLikeTheReferenceDecoder) {
  using F = CoreError::Utf8Failure;
  const Utf8Case cases[] = {
      {"", std::nullopt},
      {"plain -----BEGIN", std::nullopt},
      {"\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF", std::nullopt},
      {"\xF0\x90\x80\x80\xF3\xBF\xBF\xBF\xF4\x8F\xBF\xBF", std::nullopt},
      {"\xFF", F{0, 1}},
      {"ab\x80", F{2, 1}},            // continuation without a lead
      {"\xC0\x80", F{0, 1}},          // overlong lead
      {"\xC1\xBF", F{0, 1}},          // overlong lead
      {"\xE0\x80", F{0, 1}},          // overlong three-byte form, even though cut short
      {"\xE0\x9F\xBF", F{0, 1}},      // overlong three-byte form
      {"\xED\xA0\x80", F{0, 1}},      // surrogate U+D800
      {"\xF0\x8F\xBF\xBF", F{0, 1}},  // overlong four-byte form
      {"\xF4\x90\x80\x80", F{0, 1}},  // above U+10FFFF
      {"\xF5\x80\x80\x80", F{0, 1}},  // lead above U+10FFFF
      {"x\xC3\x41", F{1, 1}},
      {"\xE2\x82\x41", F{0, 2}},
      {"\xF0\x9F\x98\x41", F{0, 3}},
      {"\xF0\x9F\x41", F{0, 2}},
      {"\xC3", F{0, std::nullopt}},
      {"a\xE2\x82", F{1, std::nullopt}},
      {"\xE0", F{0, std::nullopt}},
      {"ok\xF0\x90\x80", F{2, std::nullopt}},
  };
  for (const Utf8Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    const std::optional<CoreError::Utf8Failure> got = find_utf8_error(ascii(c.bytes));
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (got) {
      EXPECT_EQ(got->valid_up_to, c.expected->valid_up_to);
      EXPECT_EQ(got->error_len, c.expected->error_len);
    }
  }
}

TEST(KeyPem, FindsLabelAndBodyWithEachLineBreak) {
  const std::optional<PemBlock> lf =
      read_pem_block(ascii("note\n-----BEGIN A B-----\nQUJD\nREVG\n-----END A B-----\n"));
  ASSERT_TRUE(lf);
  EXPECT_EQ(text_of(lf->label), "A B");
  EXPECT_EQ(text_of(lf->body), "QUJD\nREVG");

  const std::optional<PemBlock> crlf =
      read_pem_block(ascii("-----BEGIN X-----\r\nQUJD\r\nREVG\r\n-----END X-----\r\n"));
  ASSERT_TRUE(crlf);
  EXPECT_EQ(text_of(crlf->body), "QUJD\r\nREVG");

  const std::optional<PemBlock> cr =
      read_pem_block(ascii("-----BEGIN X-----\rQUJD\r-----END X-----"));
  ASSERT_TRUE(cr);
  EXPECT_EQ(text_of(cr->body), "QUJD");
}

TEST(KeyPem, LabelGrammar) {
  const auto block_with = [](const std::string& label) {
    return read_pem_block(
        ascii("-----BEGIN " + label + "-----\nQUJD\n-----END " + label + "-----\n"));
  };
  EXPECT_TRUE(block_with("RSA PUBLIC KEY"));
  EXPECT_TRUE(block_with("A\tB"));
  EXPECT_TRUE(block_with(""));
  EXPECT_TRUE(block_with("A "));  // a single blank may close the label
  EXPECT_FALSE(block_with(" A"));
  EXPECT_FALSE(block_with("A  B"));
  EXPECT_FALSE(block_with("A \tB"));
  EXPECT_FALSE(block_with("A\x7F"));
  EXPECT_FALSE(block_with("A\xC3\xA9"));
  EXPECT_FALSE(block_with("A-B"));  // the label stops at the first hyphen
  EXPECT_FALSE(block_with("A-"));   // six hyphens after the label
  EXPECT_FALSE(read_pem_block(ascii("-----BEGIN A-----QUJD\n-----END A-----\n")));
  EXPECT_FALSE(read_pem_block(ascii("-----BEGIN A-----\nQUJD\n-----END B-----\n")));
  EXPECT_FALSE(read_pem_block(ascii("-----BEGIN A-----\nQUJD-----END A-----\n")));
  EXPECT_FALSE(read_pem_block(ascii("-----BEGIN A-----\n-----END A-----\n")));
}

TEST(KeyPem, PreambleMustEndInLfDirectlyBeforeTheBlock) {
  const std::string block = "-----BEGIN A-----\nQUJD\n-----END A-----\n";
  EXPECT_TRUE(read_pem_block(ascii("\n" + block)));
  EXPECT_TRUE(read_pem_block(ascii("x-----BEGIN A-----\r\n# \xC3\xA9\r\n" + block)));
  EXPECT_FALSE(read_pem_block(ascii("x\r" + block)));
  EXPECT_FALSE(read_pem_block(ascii(std::string("x\0y\n", 4) + block)));
  EXPECT_FALSE(read_pem_block(ascii(" " + block)));
  EXPECT_FALSE(read_pem_block(ascii("\xEF\xBB\xBF" + block)));
  EXPECT_FALSE(read_pem_block(ascii("no block at all\n")));
}

TEST(KeyBase64, DecodesCanonicalPaddedGroups) {
  const auto decode = [](std::string_view body) { return decode_pem_base64(ascii(body)); };
  EXPECT_EQ(decode("TWFu"), (Der{'M', 'a', 'n'}));
  EXPECT_EQ(decode("TWE="), (Der{'M', 'a'}));
  EXPECT_EQ(decode("TQ==\n"), (Der{'M'}));
  EXPECT_EQ(decode("+/+/"), (Der{0xFB, 0xFF, 0xBF}));
  for (const char* bad : {"", "TQ", "TQ=", "TWF", "T===", "====", "TQ==TWFu", "TW=u",
                          "TR==", "TWF=", "TW-u", "TW u", "TWFu\n\n", "TWFu "}) {
    EXPECT_FALSE(decode(bad)) << bad;
  }
}

TEST(KeyBase64, LinesAreExactly64Wide) {
  const std::string chars = testing::base64(Der(120, 0xA5));  // 160 characters
  const std::string l1 = chars.substr(0, 64), l2 = chars.substr(64, 64), l3 = chars.substr(128);
  for (const std::string eol : {"\n", "\r\n", "\r"}) {
    EXPECT_EQ(decode_pem_base64(ascii(l1 + eol + l2 + eol + l3)), Der(120, 0xA5));
    // The break of one empty line before the END line is the one the last line may carry.
    EXPECT_TRUE(decode_pem_base64(ascii(l1 + eol + l2 + eol + l3 + eol)));
    EXPECT_FALSE(decode_pem_base64(ascii(l1 + eol + l2 + eol + l3 + eol + eol)));
  }
  EXPECT_FALSE(decode_pem_base64(ascii(l1 + "\n\n" + l2 + "\n" + l3)));
  EXPECT_FALSE(decode_pem_base64(ascii(l1 + " \n" + l2 + "\n" + l3)));
  EXPECT_FALSE(decode_pem_base64(ascii(l1 + l2.substr(0, 12) + "\n" + l2.substr(12) + "\n" + l3)));
  EXPECT_FALSE(decode_pem_base64(ascii(chars.substr(0, 60) + "\n" + chars.substr(60))));
  EXPECT_FALSE(decode_pem_base64(ascii(chars)));

  // When the data ends on a full line, that line's own break is taken first; the last line is
  // then the break of the empty line, dropped. A second empty line is therefore still tolerated.
  EXPECT_TRUE(decode_pem_base64(ascii(l1 + "\n" + l2 + "\n")));
  EXPECT_TRUE(decode_pem_base64(ascii(l1 + "\n" + l2 + "\n\n")));
  EXPECT_FALSE(decode_pem_base64(ascii(l1 + "\n" + l2 + "\n\n\n")));
}

TEST(KeyDer, LengthsAreDefiniteMinimalAndBounded) {
  const auto element = [](const Der& der) {
    ByteCursor in{ByteSpan(der)};
    std::optional<ByteSpan> content = read_der_element(in, kDerSequence);
    if (!content) {
      EXPECT_EQ(in.size(), der.size()) << "a failed read must not move";
    }
    return content ? std::optional<std::size_t>(content->size()) : std::nullopt;
  };
  EXPECT_EQ(element({0x30, 0x00}), 0u);
  EXPECT_EQ(element(Der{0x30, 0x7F} + Der(127)), 127u);
  EXPECT_EQ(element(Der{0x30, 0x81, 0x80} + Der(128)), 128u);
  EXPECT_EQ(element(Der{0x30, 0x82, 0x01, 0x00} + Der(256)), 256u);
  EXPECT_EQ(element(Der{0x30, 0x83, 0x01, 0x00, 0x00} + Der(65536)), 65536u);
  EXPECT_FALSE(element(Der{0x30, 0x81, 0x05} + Der(5)));
  EXPECT_FALSE(element(Der{0x30, 0x82, 0x00, 0xFF} + Der(255)));
  EXPECT_FALSE(element(Der{0x30, 0x83, 0x00, 0xFF, 0xFF} + Der(65535)));
  EXPECT_FALSE(element(Der{0x30, 0x80, 0x00, 0x00}));
  EXPECT_FALSE(element(Der{0x30, 0x85, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}));
  EXPECT_FALSE(element(Der{0x30, 0x03, 0x02, 0x01}));  // runs past the input
  EXPECT_FALSE(element(Der{0x31, 0x00}));
  EXPECT_FALSE(element(Der{}));
}

TEST(KeyDer, FourOctetLengthsStopAt268435455) {
  Der big(6 + kDerMaxLength + 1);
  const Der header = {0x30, 0x84, 0x0F, 0xFF, 0xFF, 0xFF};
  std::copy(header.begin(), header.end(), big.begin());
  ByteCursor at_limit{ByteSpan(big).first(6 + kDerMaxLength)};
  EXPECT_TRUE(read_der_element(at_limit, kDerSequence));
  big[2] = 0x10, big[3] = big[4] = big[5] = 0x00;
  ByteCursor over{ByteSpan(big)};
  EXPECT_FALSE(read_der_element(over, kDerSequence));
  big[2] = 0x00, big[3] = big[4] = big[5] = 0xFF;  // 0x84 for a value that fits in three octets
  ByteCursor wide{ByteSpan(big).first(6 + 0xFFFFFF)};
  EXPECT_FALSE(read_der_element(wide, kDerSequence));
}

TEST(KeyDer, IntegersAreUnsignedAndMinimal) {
  const auto read = [](const Der& der) -> std::optional<Der> {
    ByteCursor in{ByteSpan(der)};
    const std::optional<ByteSpan> value = read_der_unsigned(in);
    if (!value) return std::nullopt;
    return Der(value->begin(), value->end());
  };
  EXPECT_EQ(read({0x02, 0x01, 0x00}), Der{});
  EXPECT_EQ(read({0x02, 0x01, 0x7F}), Der{0x7F});
  EXPECT_EQ(read({0x02, 0x02, 0x00, 0x80}), Der{0x80});
  EXPECT_EQ(read({0x02, 0x02, 0x01, 0x00}), (Der{0x01, 0x00}));
  EXPECT_FALSE(read({0x02, 0x00}));
  EXPECT_FALSE(read({0x02, 0x01, 0x80}));
  EXPECT_FALSE(read({0x02, 0x02, 0x00, 0x7F}));
  EXPECT_FALSE(read({0x02, 0x03, 0x00, 0x00, 0x80}));
  EXPECT_FALSE(read({0x03, 0x01, 0x01}));
}

TEST(KeyDer, RsaPublicKeyIsExactlyTwoIntegers) {
  const Der n = der_unsigned({0xC3, 0x01}), e = der_unsigned({0x03});
  const Der good = tlv(0x30, n + e);
  const std::optional<RsaPublicComponents> key = read_rsa_public_key(good);
  ASSERT_TRUE(key);
  EXPECT_EQ(Der(key->modulus.begin(), key->modulus.end()), (Der{0xC3, 0x01}));
  EXPECT_EQ(Der(key->exponent.begin(), key->exponent.end()), Der{0x03});
  EXPECT_TRUE(is_single_der_sequence(good));

  EXPECT_FALSE(read_rsa_public_key(tlv(0x30, n)));
  EXPECT_FALSE(read_rsa_public_key(tlv(0x30, n + e + e)));
  EXPECT_FALSE(read_rsa_public_key(tlv(0x30, n + e + Der{0x00})));
  EXPECT_FALSE(read_rsa_public_key(good + Der{0x00}));
  EXPECT_FALSE(is_single_der_sequence(good + Der{0x00}));
  EXPECT_FALSE(read_rsa_public_key(tlv(0x30, n + tlv(0x03, {0x03}))));
  EXPECT_FALSE(read_rsa_public_key(tlv(0x30, tlv(0x30, n + e))));
}

TEST(KeyRules, AreCheckedInOrder) {
  const Der n4096 = Der{0x80} + Der(510, 0) + Der{0x01};
  const auto broken = [](const Der& n, const Der& e) {
    return first_broken_key_rule({ByteSpan(n), ByteSpan(e)});
  };
  const Der n2048 = Der{0xC0} + Der(254, 0x5A) + Der{0x01};
  using R = KeyRule;
  EXPECT_EQ(broken(n4096, {0x01, 0x00, 0x01}), std::nullopt);
  EXPECT_EQ(broken(n2048, {0x03}), std::nullopt);
  EXPECT_EQ(broken(n2048, {0x01, 0xFF, 0xFF, 0xFF, 0xFF}), std::nullopt);  // 2^33 - 1
  EXPECT_EQ(broken(Der{0x01} + n4096, {0x02}), R::ModulusAtMost4096Bits);
  EXPECT_EQ(broken(n2048, Der(9, 0x01)), R::ExponentFitsIn64Bits);
  EXPECT_EQ(broken({0x01}, Der(9, 0x01)), R::ExponentFitsIn64Bits);
  EXPECT_EQ(broken({0x07}, {0x07}), R::ExponentBelowModulus);
  EXPECT_EQ(broken({0x01}, {0x03}), R::ExponentBelowModulus);
  EXPECT_EQ(broken({}, {}), R::ExponentBelowModulus);
  EXPECT_EQ(broken({0x08}, {0x04}), R::ModulusOdd);
  EXPECT_EQ(broken(n2048, {0x01, 0x00, 0x00}), R::ExponentOdd);
  EXPECT_EQ(broken(n2048, {0x02}), R::ExponentOdd);
  EXPECT_EQ(broken(n2048, {}), R::ExponentOdd);
  EXPECT_EQ(broken(n2048, {0x01}), R::ExponentAtLeast2);
  EXPECT_EQ(broken(n2048, {0x02, 0x00, 0x00, 0x00, 0x01}), R::ExponentAtMost33Bits);  // 2^33 + 1
  EXPECT_EQ(broken(n2048, Der(8, 0xFF)), R::ExponentAtMost33Bits);
}

// What the library itself writes for the same numbers.
Der library_spki(const Der& n, const Der& e) {
  RSA* rsa = RSA_new();
  RSA_set0_key(rsa, BN_bin2bn(n.data(), n.size(), nullptr), BN_bin2bn(e.data(), e.size(), nullptr),
               nullptr);
  EVP_PKEY* key = EVP_PKEY_new();
  EVP_PKEY_assign_RSA(key, rsa);
  CBB cbb;
  CBB_init(&cbb, 0);
  std::uint8_t* out = nullptr;
  std::size_t out_len = 0;
  EXPECT_TRUE(EVP_marshal_public_key(&cbb, key) && CBB_finish(&cbb, &out, &out_len));
  Der spki(out, out + out_len);
  OPENSSL_free(out);
  EVP_PKEY_free(key);
  return spki;
}

TEST(KeyDer, SubjectPublicKeyInfoMatchesTheLibrarysEncoding) {
  for (const std::size_t size : {1, 2, 120, 121, 122, 123, 250, 256, 512}) {
    for (const int top : {0x01, 0x7F, 0x80, 0xFF}) {
      Der n(size, 0x35);
      n.front() = static_cast<std::uint8_t>(top);
      const Der e = {0x01, 0x00, 0x01};
      SCOPED_TRACE(std::to_string(size) + " octets, top " + std::to_string(top));
      EXPECT_EQ(encode_subject_public_key_info({ByteSpan(n), ByteSpan(e)}), library_spki(n, e));
    }
  }
}

TEST(KeyDer, EncodingGivesBackTheDocumentItWasReadFrom) {
  const Der n = Der{0x00, 0xE1} + Der(255, 0x17);
  const Der document = tlv(0x30, tlv(0x02, n) + tlv(0x02, {0x03}));
  const std::optional<RsaPublicComponents> key = read_rsa_public_key(document);
  ASSERT_TRUE(key);
  const Der spki = encode_subject_public_key_info(*key);
  ASSERT_GT(spki.size(), document.size());
  EXPECT_EQ(Der(spki.end() - static_cast<std::ptrdiff_t>(document.size()), spki.end()), document);
}

}  // namespace
}  // namespace core_fips
