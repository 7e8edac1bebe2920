#include "digest/salted_digest.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/mem.h>

#include <array>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

// The library's constant-time compare, interposed: this executable's definition takes the place of
// the library's for the native code linked into it (the header gives it the library's prefixed
// name). It counts the calls and forwards them, or answers "equal" when told to.
namespace {
int constant_time_compares = 0;
std::size_t compared_length = 0;
bool answer_equal = false;
}  // namespace

#define CORE_FIPS_NAME_OF(symbol) CORE_FIPS_TEXT_OF(symbol)
#define CORE_FIPS_TEXT_OF(symbol) #symbol
extern "C" int CRYPTO_memcmp(const void* a, const void* b, std::size_t len) {
  using Compare = int (*)(const void*, const void*, std::size_t);
  static const auto library =
      reinterpret_cast<Compare>(dlsym(RTLD_NEXT, CORE_FIPS_NAME_OF(CRYPTO_memcmp)));
  ++constant_time_compares;
  compared_length = len;
  return answer_equal ? 0 : library(a, b, len);
}

namespace core_fips {
namespace {

constexpr const char* kAbc384 =
    "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825"
    "a7";
// FIPS 180-4 two-block example, "abcdefghbcdefghi...nopqrstu".
constexpr const char* kTwoBlockMessage =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopq"
    "rsm"
    "nopqrstnopqrstu";
constexpr const char* kTwoBlock384 =
    "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa917460"
    "39";

std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(SaltedDigest, PublishedVectorsWhateverTheSplit) {
  EXPECT_EQ(salted_token(bytes("abc"), "").sha_text(), kAbc384);
  EXPECT_EQ(salted_token(bytes(""), "abc").sha_text(), kAbc384);
  const std::string message = kTwoBlockMessage;
  for (std::size_t cut = 0; cut <= message.size(); cut += 7) {
    SaltedDigest engine(std::string_view(""));
    engine.update(bytes(std::string_view(message).substr(0, cut)));
    engine.update(bytes(std::string_view(message).substr(cut)));
    EXPECT_EQ(std::move(engine).finish().sha_text(), kTwoBlock384) << "cut at " << cut;
  }
}

TEST(SaltedDigest, EngineSurvivesAMove) {
  SaltedDigest first(std::string_view("c"));
  first.update(bytes("a"));
  SaltedDigest moved(std::move(first));
  moved.update(bytes("b"));
  const TokenValue token = std::move(moved).finish();
  EXPECT_EQ(token.sha_text(), kAbc384);
  EXPECT_EQ(token.salt, "c");
}

TEST(DefaultSalt, IsAVersion4UuidInLowercaseHex) {
  std::set<std::string> seen;
  for (int i = 0; i < 500; ++i) {
    const std::string salt = default_salt();
    ASSERT_EQ(salt.size(), kDefaultSaltLength);
    EXPECT_EQ(salt.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(salt[12], '4');
    EXPECT_NE(std::string("89ab").find(salt[16]), std::string::npos);
    seen.insert(salt);
  }
  EXPECT_EQ(seen.size(), 500u);
}

TEST(DigestVerifier, ExactTextComparison) {
  const std::string good(salted_token(bytes("content"), "s").sha_text());
  EXPECT_TRUE(verify_salted(good, "s", bytes("content")).ok());
  std::string upper = good;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::vector<std::string> wrong = {upper, good + "\n", good.substr(1), "", good + good};
  for (const std::string& expected : wrong) {
    Status outcome = verify_salted(expected, "s", bytes("content"));
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().kind(), CoreError::Kind::Generic);
    EXPECT_EQ(outcome.error().message(), "Generic error: Token mismatch \n");
  }
  EXPECT_FALSE(verify_salted(good, "t", bytes("content")).ok());
}

TEST(DigestVerifier, TheLibrarysConstantTimeCompareDecides) {
  const std::string good(salted_token(bytes("content"), "s").sha_text());
  std::string near = good;
  near.back() = near.back() == '0' ? '1' : '0';
  const int before = constant_time_compares;
  EXPECT_TRUE(verify_salted(good, "s", bytes("content")).ok());
  EXPECT_FALSE(verify_salted(near, "s", bytes("content")).ok());
  EXPECT_EQ(constant_time_compares - before, 2);
  EXPECT_EQ(compared_length, kDigestHexLength);
  answer_equal = true;  // its verdict is the one that counts
  const bool accepted = verify_salted(near, "s", bytes("content")).ok();
  answer_equal = false;
  EXPECT_TRUE(accepted);
}

TEST(RenderHex, EveryByteAsPrintfRendersIt) {
  std::array<std::uint8_t, 256> every{};
  std::string want;
  for (std::size_t i = 0; i < every.size(); ++i) {
    every[i] = static_cast<std::uint8_t>(i);
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(i));
    want += pair;
  }
  EXPECT_EQ(render_hex(every), want);
}

}  // namespace
}  // namespace core_fips
