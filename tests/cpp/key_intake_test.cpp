// The whole key intake, on keys made by the openssl command line and on variants of them built
// with the DER writer. Refusals sit next to an accepted control, so that a case cannot pass because
// its base was broken to begin with.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/file.h>
#include <unistd.h>

#include <bit>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "envelope/rsa_public_key.hpp"
#include "key_test_support.hpp"

namespace core_fips {
namespace {

namespace fs = std::filesystem;
using testing::Der;
using testing::operator+;
using testing::pem;
using testing::rsa_public_key_der;

std::string sh(const fs::path& path) { return std::string("'").append(path.string()) + "'"; }

// Modulus of a PKCS #1 PEM as the library's own PEM reader sees it.
Der modulus_of(const std::string& pkcs1_pem) {
  bssl::UniquePtr<BIO> bio(
      BIO_new_mem_buf(pkcs1_pem.data(), static_cast<ossl_ssize_t>(pkcs1_pem.size())));
  bssl::UniquePtr<RSA> rsa(PEM_read_bio_RSAPublicKey(bio.get(), nullptr, nullptr, nullptr));
  if (!rsa) throw std::runtime_error("the library cannot read a generated key");
  Der n(BN_num_bytes(RSA_get0_n(rsa.get())));
  BN_bn2bin(RSA_get0_n(rsa.get()), n.data());
  return n;
}

// Public halves of keys made by openssl. ctest runs each test in its own process, so the keys are
// kept in a directory that the processes share and fill in turn under a file lock; no private key
// outlives its generation. The two-prime generator rounds odd sizes down, hence three primes there.
struct GeneratedKey {
  fs::path pkcs1_path;
  std::string pkcs1;  // "RSA PUBLIC KEY", LF line breaks
  std::string spki;   // "PUBLIC KEY"
};

const GeneratedKey& generated_key(int bits) {
  static std::map<int, GeneratedKey> made;
  if (const auto found = made.find(bits); found != made.end()) return found->second;
  const fs::path dir = fs::temp_directory_path() / ("core-fips-keys-" + std::to_string(getuid()));
  fs::create_directories(dir);
  const std::string size = std::to_string(bits);
  const fs::path pkcs1 = dir / ("rsa-" + size + ".pem"), spki = dir / ("spki-" + size + ".pem");
  const int lock = open((dir / "lock").c_str(), O_CREAT | O_RDWR, 0600);
  if (lock < 0 || flock(lock, LOCK_EX) != 0)
    throw std::runtime_error("cannot lock " + dir.string());
  if (!fs::exists(pkcs1)) {
    const fs::path work = dir / ("work-" + std::to_string(getpid()));
    fs::create_directories(work);
    const std::string key = sh(work / "key"), quiet = " 2>/dev/null";
    const std::string command =
        "openssl genrsa" + std::string(bits % 2 ? " -primes 3" : "") + " -out " + key + " " + size +
        quiet + " && openssl rsa -in " + key + " -pubout -out " + sh(work / "spki") + quiet +
        " && openssl rsa -in " + key + " -RSAPublicKey_out -out " + sh(work / "pkcs1") + quiet;
    const bool ok = std::system(command.c_str()) == 0;
    if (ok) {
      fs::rename(work / "spki", spki);
      fs::rename(work / "pkcs1", pkcs1);  // last: its presence says the pair is complete
    }
    fs::remove_all(work);
    if (!ok) throw std::runtime_error("openssl cannot make a " + size + "-bit key");
  }
  close(lock);
  const auto read = [](const fs::path& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
  };
  GeneratedKey key{pkcs1, read(pkcs1), read(spki)};
  const Der n = modulus_of(key.pkcs1);
  if ((n.size() - 1) * 8 + static_cast<std::size_t>(std::bit_width(n.front())) !=
      static_cast<std::size_t>(bits)) {
    throw std::runtime_error(pkcs1.string() + " does not hold a " + size + "-bit modulus");
  }
  return made[bits] = std::move(key);
}

const std::string& key2048() { return generated_key(2048).pkcs1; }

Result<RsaEncryptionKey> intake(std::string_view text) {
  return parse_rsa_public_key_pem(ascii(text));
}
bool accepted(std::string_view text) { return intake(text).ok(); }
bool refused(std::string_view text) {  // as InvalidPublicKey, not as anything else
  Result<RsaEncryptionKey> result = intake(text);
  return !result.ok() && result.error().kind() == CoreError::Kind::InvalidPublicKey;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

// Modulus (lower-case hex without leading zeros) and exponent, as `openssl rsa -text` prints them.
std::pair<std::string, std::uint64_t> openssl_reading(const fs::path& pkcs1) {
  FILE* pipe = popen(("openssl rsa -RSAPublicKey_in -text -noout -in " + sh(pkcs1)).c_str(), "r");
  std::string text, hex;
  char chunk[4096];
  for (std::size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, got);
  if (pclose(pipe) != 0) throw std::runtime_error("openssl cannot print " + pkcs1.string());
  const std::size_t modulus = text.find("Modulus:"), exponent = text.find("Exponent: ");
  for (std::size_t i = modulus + 8; i < exponent; ++i) {
    if (std::isxdigit(static_cast<unsigned char>(text[i]))) hex += text[i];
  }
  return {hex.substr(hex.find_first_not_of('0')),
          std::strtoull(text.c_str() + exponent + 10, nullptr, 10)};
}

std::string lower_hex(const BIGNUM* number) {
  const bssl::UniquePtr<char> hex(BN_bn2hex(number));
  std::string out(hex.get());
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out.substr(out.find_first_not_of('0'));
}

TEST(KeyIntake, AcceptsEachSizeWithEachLineBreakAndReadsWhatOpensslReads) {
  for (const int bits : {2048, 3072, 4096}) {
    const auto [modulus, exponent] = openssl_reading(generated_key(bits).pkcs1_path);
    EXPECT_EQ(exponent, 65537u);
    for (const std::string eol : {"\n", "\r\n", "\r"}) {
      SCOPED_TRACE(std::to_string(bits) + " bits, line break " + ::testing::PrintToString(eol));
      Result<RsaEncryptionKey> key = intake(replace_all(generated_key(bits).pkcs1, "\n", eol));
      ASSERT_TRUE(key.ok());
      EXPECT_EQ(key.value().bits(), static_cast<unsigned>(bits));
      EXPECT_EQ(key.value().size(), static_cast<std::size_t>(bits / 8));
      const RSA* rsa = EVP_PKEY_get0_RSA(key.value().get());
      EXPECT_EQ(lower_hex(RSA_get0_n(rsa)), modulus);
      EXPECT_EQ(BN_get_word(RSA_get0_e(rsa)), exponent);
    }
  }
}

TEST(KeyIntake, RefusesOtherSizesAndOtherLabels) {
  ASSERT_TRUE(accepted(key2048()));
  EXPECT_TRUE(refused(generated_key(2048).spki));
  EXPECT_TRUE(refused(replace_all(key2048(), "RSA PUBLIC KEY", "PUBLIC KEY")));
  EXPECT_TRUE(refused(replace_all(key2048(), "END RSA PUBLIC KEY", "END PUBLIC KEY")));
  EXPECT_TRUE(refused(replace_all(key2048(), "END RSA PUBLIC KEY", "END rsa public key")));
  for (const int bits : {1024, 4097, 8192}) EXPECT_TRUE(refused(generated_key(bits).pkcs1)) << bits;
}

TEST(KeyIntake, TextAroundTheBlock) {
  const std::string& key = key2048();  // ends in one LF
  const std::string bare = key.substr(0, key.size() - 1);
  EXPECT_TRUE(accepted("# for ops \xE2\x80\x94 2026\n" + key));
  EXPECT_TRUE(accepted("\n" + bare));
  EXPECT_TRUE(accepted(bare + "\r\n"));
  EXPECT_TRUE(accepted(bare + "\r"));
  EXPECT_TRUE(refused("# for ops\r" + key));
  EXPECT_TRUE(refused(std::string("#\0\n", 3) + key));
  EXPECT_TRUE(refused(" " + key));
  EXPECT_TRUE(refused(key + "\n"));
  EXPECT_TRUE(refused(bare + "\r\n\r\n"));
  EXPECT_TRUE(refused(bare + " "));
  EXPECT_TRUE(refused(key + key));
}

TEST(KeyIntake, BodyLayoutAndBase64) {
  const Der n = modulus_of(key2048());
  const Der der = rsa_public_key_der(n, {0x01, 0x00, 0x01});
  ASSERT_EQ(pem(der), key2048());  // the test writer reproduces openssl's text
  EXPECT_TRUE(refused(pem(der, 76)));
  std::string short_line = key2048();  // first body line cut to 60 characters
  short_line.insert(31 + 60, "\n");
  EXPECT_TRUE(refused(short_line));
  for (const std::string eol : {"\n", "\r\n", "\r"}) {
    const std::string key = replace_all(key2048(), "\n", eol);
    const std::size_t end = key.find("-----END");
    EXPECT_TRUE(accepted(key.substr(0, end) + eol + key.substr(end))) << eol.size();
    EXPECT_TRUE(refused(key.substr(0, end) + eol + eol + key.substr(end))) << eol.size();
  }

  // With exponent 3 the document is 268 bytes, so its Base64 ends in "==".
  const std::string padded = pem(rsa_public_key_der(n, {0x03}));
  const std::size_t pad = padded.find("==\n");
  ASSERT_TRUE(accepted(padded));
  EXPECT_TRUE(refused(padded.substr(0, pad) + padded.substr(pad + 2)));
  // Setting the lowest bit of the last character touches only bits beyond the data.
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string trailing_bits = padded;
  trailing_bits[pad - 1] = alphabet[alphabet.find(padded[pad - 1]) | 1];
  ASSERT_NE(padded, trailing_bits);
  EXPECT_TRUE(refused(trailing_bits));
}

TEST(KeyIntake, StrictDer) {
  const Der n = modulus_of(key2048());
  ASSERT_EQ(n.size(), 256u);
  const Der modulus = Der{0x02, 0x82, 0x01, 0x01, 0x00} + n;
  const Der exponent = {0x02, 0x05, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};  // 2^33 - 1
  const auto sequence = [](const Der& content) {
    return Der{0x30, 0x82, static_cast<std::uint8_t>(content.size() >> 8),
               static_cast<std::uint8_t>(content.size())} +
           content;
  };
  ASSERT_TRUE(accepted(pem(sequence(modulus + exponent))));
  EXPECT_TRUE(
      refused(pem(sequence(modulus + Der{0x02, 0x81, 0x05, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}))));
  EXPECT_TRUE(refused(pem(Der{0x30, 0x80} + modulus + exponent + Der{0x00, 0x00})));
  EXPECT_TRUE(refused(pem(sequence(modulus + exponent) + Der{0x00})));
  EXPECT_TRUE(refused(pem(sequence(modulus + exponent + Der{0x02, 0x01, 0x01}))));
  EXPECT_TRUE(refused(pem(sequence(Der{0x02, 0x82, 0x01, 0x00} + n + exponent))));  // negative
  EXPECT_TRUE(refused(pem(sequence(Der{0x02, 0x82, 0x01, 0x02, 0x00, 0x00} + n + exponent))));
}

TEST(KeyIntake, ExponentAndModulusRules) {
  const Der n = modulus_of(key2048());
  const auto with_exponent = [&n](std::uint64_t e) {
    return pem(rsa_public_key_der(n, testing::big_endian(e)));
  };
  EXPECT_TRUE(accepted(with_exponent(3)));
  EXPECT_TRUE(accepted(with_exponent(8589934591u)));
  for (const std::uint64_t e : {1ull, 2ull, 65536ull, 8589934593ull}) {
    EXPECT_TRUE(refused(with_exponent(e))) << e;
  }
  Der even = n;
  even.back() &= 0xFE;
  EXPECT_TRUE(refused(pem(rsa_public_key_der(even, {0x01, 0x00, 0x01}))));
}

TEST(KeyIntake, Utf8ComesFirstAndCarriesItsTwoTexts) {
  Result<RsaEncryptionKey> bad = intake("\xFF\n" + key2048());
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "UTF8 error: invalid utf-8 sequence of 1 bytes from index 0");
  Result<RsaEncryptionKey> cut = intake(key2048() + "\xE2\x82");
  ASSERT_FALSE(cut.ok());
  EXPECT_EQ(cut.error().message(), "UTF8 error: incomplete utf-8 byte sequence from index " +
                                       std::to_string(key2048().size()));
  EXPECT_EQ(intake("\xC0\xAF").error().kind(), CoreError::Kind::Utf8);
  EXPECT_EQ(intake("not a key").error().message(), "Invalid public key");
}

}  // namespace
}  // namespace core_fips
