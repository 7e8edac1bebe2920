// The whole key intake on keys made by the openssl command line, and on variants of them built
// with the DER writer. Each refusal sits next to an accepted control, so that a case cannot pass
// because its base was broken to begin with.
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

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string quoted(const fs::path& path) {
  std::string out = "'";
  return out.append(path.string()).append("'");
}

// Modulus of a PKCS #1 PEM as read by the library's own PEM reader.
Der modulus_of(const std::string& pkcs1_pem) {
  BIO* bio = BIO_new_mem_buf(pkcs1_pem.data(), static_cast<ossl_ssize_t>(pkcs1_pem.size()));
  RSA* rsa = PEM_read_bio_RSAPublicKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (rsa == nullptr) throw std::runtime_error("the library cannot read the generated key");
  Der n(BN_num_bytes(RSA_get0_n(rsa)));
  BN_bn2bin(RSA_get0_n(rsa), n.data());
  RSA_free(rsa);
  return n;
}

// Public halves of keys from the openssl command line. Test processes share one cache directory
// (ctest runs each test in a process of its own) and take turns under a file lock, so each size
// is generated once; the private key never outlives its generation. The two-prime generator
// halves odd sizes, so those are made from three primes.
struct GeneratedKey {
  fs::path pkcs1_path;
  std::string pkcs1_pem;  // "RSA PUBLIC KEY", LF line breaks
  std::string spki_pem;   // "PUBLIC KEY"
};

const GeneratedKey& generated_key(int bits) {
  static std::map<int, GeneratedKey> keys;
  if (const auto found = keys.find(bits); found != keys.end()) return found->second;

  const fs::path dir =
      fs::temp_directory_path() / ("core-fips-key-intake-" + std::to_string(getuid()));
  fs::create_directories(dir);
  const std::string size = std::to_string(bits);
  const fs::path pkcs1 = dir / ("rsa-" + size + ".pem"), spki = dir / ("spki-" + size + ".pem");
  const int lock = open((dir / "lock").c_str(), O_CREAT | O_RDWR, 0600);
  if (lock < 0 || flock(lock, LOCK_EX) != 0)
    throw std::runtime_error("cannot lock " + dir.string());
  if (!fs::exists(pkcs1)) {
    const fs::path work = dir / ("work-" + std::to_string(getpid()));
    fs::create_directories(work);
    const std::string key = quoted(work / "key");
    const std::string command =
        "openssl genrsa" + std::string(bits % 2 ? " -primes 3" : "") + " -out " + key + " " + size +
        " 2>/dev/null && openssl rsa -in " + key + " -pubout -out " + quoted(work / "spki") +
        " 2>/dev/null && openssl rsa -in " + key + " -RSAPublicKey_out -out " +
        quoted(work / "pkcs1") + " 2>/dev/null";
    const int status = std::system(command.c_str());
    if (status == 0) {
      fs::rename(work / "spki", spki);
      fs::rename(work / "pkcs1", pkcs1);  // last: its presence means the pair is complete
    }
    fs::remove_all(work);
    if (status != 0) throw std::runtime_error("openssl could not make a " + size + "-bit key");
  }
  close(lock);
  GeneratedKey made{pkcs1, read_file(pkcs1), read_file(spki)};
  if (const Der n = modulus_of(made.pkcs1_pem);
      (n.size() - 1) * 8 + static_cast<std::size_t>(std::bit_width(n.front())) !=
      static_cast<std::size_t>(bits)) {
    throw std::runtime_error(pkcs1.string() + " does not hold a " + size + "-bit modulus");
  }
  return keys[bits] = std::move(made);
}

Result<RsaEncryptionKey> intake(std::string_view text) {
  return parse_rsa_public_key_pem(testing::bytes_of(text));
}

bool accepted(std::string_view text) {
  return intake(text).ok();
}

// Refused with InvalidPublicKey (not Utf8, not anything else).
bool refused(std::string_view text) {
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

std::string lower_hex(const BIGNUM* number) {
  char* hex = BN_bn2hex(number);
  std::string out(hex);
  OPENSSL_free(hex);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out.substr(out.find_first_not_of('0'));
}

// Modulus (lower-case hex, no leading zeros) and exponent as `openssl rsa -text` prints them.
std::pair<std::string, std::uint64_t> openssl_reading(const fs::path& pkcs1) {
  const std::string command = "openssl rsa -RSAPublicKey_in -in " + quoted(pkcs1) + " -text -noout";
  FILE* pipe = popen(command.c_str(), "r");
  std::string text;
  char chunk[4096];
  for (std::size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, got);
  if (pclose(pipe) != 0) throw std::runtime_error("openssl cannot print " + pkcs1.string());
  const std::size_t modulus = text.find("Modulus:"), exponent = text.find("Exponent: ");
  std::string hex;
  for (std::size_t i = modulus + 8; i < exponent; ++i) {
    if (std::isxdigit(static_cast<unsigned char>(text[i]))) hex += text[i];
  }
  return {hex.substr(hex.find_first_not_of('0')),
          std::strtoull(text.c_str() + exponent + 10, nullptr, 10)};
}

TEST(KeyIntake, AcceptsEachSizeWithEachLineBreakAndReadsWhatOpensslReads) {
  for (const int bits : {2048, 3072, 4096}) {
    const GeneratedKey& key = generated_key(bits);
    const auto [modulus, exponent] = openssl_reading(key.pkcs1_path);
    EXPECT_EQ(exponent, 65537u);
    for (const std::string eol : {"\n", "\r\n", "\r"}) {
      SCOPED_TRACE(std::to_string(bits) + " bits, line break " + ::testing::PrintToString(eol));
      Result<RsaEncryptionKey> parsed = intake(replace_all(key.pkcs1_pem, "\n", eol));
      ASSERT_TRUE(parsed.ok());
      EXPECT_EQ(parsed.value().bits(), static_cast<unsigned>(bits));
      EXPECT_EQ(parsed.value().size(), static_cast<std::size_t>(bits / 8));
      const RSA* rsa = EVP_PKEY_get0_RSA(parsed.value().get());
      ASSERT_NE(rsa, nullptr);
      EXPECT_EQ(lower_hex(RSA_get0_n(rsa)), modulus);
      EXPECT_EQ(BN_get_word(RSA_get0_e(rsa)), exponent);
    }
  }
}

TEST(KeyIntake, RefusesOtherSizesAndTheSubjectPublicKeyInfoForm) {
  ASSERT_TRUE(accepted(generated_key(2048).pkcs1_pem));
  EXPECT_TRUE(refused(generated_key(2048).spki_pem));
  // The same PKCS #1 body under another label.
  EXPECT_TRUE(refused(replace_all(generated_key(2048).pkcs1_pem, "RSA PUBLIC KEY", "PUBLIC KEY")));
  for (const int bits : {1024, 4097, 8192}) {
    EXPECT_TRUE(refused(generated_key(bits).pkcs1_pem)) << bits;
  }
}

TEST(KeyIntake, TextBeforeTheBlock) {
  const std::string& key = generated_key(2048).pkcs1_pem;
  EXPECT_TRUE(accepted("# recipient: ops \xE2\x80\x94 2026\n" + key));
  EXPECT_TRUE(accepted("\n" + key));
  EXPECT_TRUE(refused("# recipient\r" + key));
  EXPECT_TRUE(refused(std::string("#\0\n", 3) + key));
  EXPECT_TRUE(refused(" " + key));
}

TEST(KeyIntake, TextAfterTheBlock) {
  const std::string& key = generated_key(2048).pkcs1_pem;  // ends in one LF
  const std::string bare = key.substr(0, key.size() - 1);
  EXPECT_TRUE(accepted(bare));
  EXPECT_TRUE(accepted(bare + "\r\n"));
  EXPECT_TRUE(accepted(bare + "\r"));
  EXPECT_TRUE(refused(key + "\n"));
  EXPECT_TRUE(refused(bare + "\r\n\r\n"));
  EXPECT_TRUE(refused(bare + " "));
  EXPECT_TRUE(refused(key + key));
}

TEST(KeyIntake, BodyLineLayout) {
  const Der der = rsa_public_key_der(modulus_of(generated_key(2048).pkcs1_pem), {0x01, 0x00, 0x01});
  const std::string key = pem(der);
  ASSERT_EQ(key, generated_key(2048).pkcs1_pem);  // the writer reproduces openssl's text
  ASSERT_TRUE(accepted(key));
  EXPECT_TRUE(refused(pem(der, "RSA PUBLIC KEY", "\n", 76)));
  // A 60-character line before the last.
  const std::size_t second_break = key.find('\n', key.find('\n') + 1);
  std::string short_line = key;
  short_line.insert(second_break - 4, "\n");
  short_line.erase(second_break + 1, 1);
  EXPECT_TRUE(refused(short_line));
  const std::size_t end_line = key.find("-----END");
  for (const std::string eol : {"\n", "\r\n", "\r"}) {
    const std::string key_eol = replace_all(key, "\n", eol);
    const std::size_t at = key_eol.find("-----END");
    EXPECT_TRUE(accepted(key_eol.substr(0, at) + eol + key_eol.substr(at))) << eol.size();
    EXPECT_TRUE(refused(key_eol.substr(0, at) + eol + eol + key_eol.substr(at)));
  }
  EXPECT_TRUE(refused(key.substr(0, end_line - 1) + " \n" + key.substr(end_line)));
}

TEST(KeyIntake, PaddingAndTrailingBits) {
  const Der n = modulus_of(generated_key(2048).pkcs1_pem);
  // With exponent 3 the document is 268 bytes, so its Base64 ends in "==".
  const std::string key = pem(rsa_public_key_der(n, {0x03}));
  const std::size_t pad = key.find("==\n");
  ASSERT_NE(pad, std::string::npos);
  ASSERT_TRUE(accepted(key));
  EXPECT_TRUE(refused(key.substr(0, pad) + key.substr(pad + 2)));
  // Setting the lowest bit of the last character changes only bits beyond the data.
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string trailing_bits = key;
  trailing_bits[pad - 1] = alphabet[alphabet.find(key[pad - 1]) | 1];
  ASSERT_NE(key, trailing_bits);
  EXPECT_TRUE(refused(trailing_bits));
}

TEST(KeyIntake, EndLabelMustRepeatTheBeginLabel) {
  const std::string& key = generated_key(2048).pkcs1_pem;
  const std::size_t end = key.find("-----END ");
  const std::string head = key.substr(0, end);
  EXPECT_TRUE(accepted(head + "-----END RSA PUBLIC KEY-----\n"));
  EXPECT_TRUE(refused(head + "-----END PUBLIC KEY-----\n"));
  EXPECT_TRUE(refused(head + "-----END rsa public key-----\n"));
  EXPECT_TRUE(refused(head + "-----END RSA  PUBLIC KEY-----\n"));
}

TEST(KeyIntake, StrictDer) {
  const Der n = modulus_of(generated_key(2048).pkcs1_pem);
  ASSERT_EQ(n.size(), 256u);
  ASSERT_GE(n.front(), 0x80);
  const Der modulus = Der{0x02, 0x82, 0x01, 0x01, 0x00} + n;
  const Der exponent = {0x02, 0x05, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};  // 2^33 - 1
  const auto sequence = [](const Der& content) {
    return Der{0x30, 0x82, static_cast<std::uint8_t>(content.size() >> 8),
               static_cast<std::uint8_t>(content.size())} +
           content;
  };
  ASSERT_EQ(sequence(modulus + exponent), rsa_public_key_der(n, {0x01, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_TRUE(accepted(pem(sequence(modulus + exponent))));

  const Der long_form = {0x02, 0x81, 0x05, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_TRUE(refused(pem(sequence(modulus + long_form))));
  EXPECT_TRUE(refused(pem(Der{0x30, 0x80} + modulus + exponent + Der{0x00, 0x00})));
  EXPECT_TRUE(refused(pem(sequence(modulus + exponent) + Der{0x00})));
  EXPECT_TRUE(refused(pem(sequence(modulus + exponent + Der{0x02, 0x01, 0x01}))));
  EXPECT_TRUE(refused(pem(sequence(Der{0x02, 0x82, 0x01, 0x00} + n + exponent))));  // negative
  EXPECT_TRUE(refused(pem(sequence(Der{0x02, 0x82, 0x01, 0x02, 0x00, 0x00} + n + exponent))));
}

TEST(KeyIntake, ExponentAndModulusRules) {
  const Der n = modulus_of(generated_key(2048).pkcs1_pem);
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

TEST(KeyIntake, Utf8IsCheckedBeforeAnythingElse) {
  const std::string& key = generated_key(2048).pkcs1_pem;
  Result<RsaEncryptionKey> lead = intake("\xFF\n" + key);
  ASSERT_FALSE(lead.ok());
  EXPECT_EQ(lead.error().message(), "UTF8 error: invalid utf-8 sequence of 1 bytes from index 0");

  Result<RsaEncryptionKey> cut = intake(key + "\xE2\x82");
  ASSERT_FALSE(cut.ok());
  EXPECT_EQ(cut.error().message(),
            "UTF8 error: incomplete utf-8 byte sequence from index " + std::to_string(key.size()));

  Result<RsaEncryptionKey> not_pem = intake("\xC0\xAF");
  ASSERT_FALSE(not_pem.ok());
  EXPECT_EQ(not_pem.error().kind(), CoreError::Kind::Utf8);
  EXPECT_TRUE(refused("not a key"));
  EXPECT_EQ(CoreError::invalid_public_key().message(), "Invalid public key");
}

}  // namespace
}  // namespace core_fips
