// The library floor for the digest benchmark: SHA-384 straight through AWS-LC's EVP interface,
// with no Python and none of the module's code in between. bench/bench.py drives it as a
// subprocess so its samples interleave with the Python ones (drift on a shared machine then hits
// both sides alike).
//
//   raw_sha384 CONTENT_FILE SALT
//
// Prints one JSON line when ready, then answers each command read from stdin with one JSON line:
//   whole           hash the whole file followed by the salt once
//   prefix N CALLS  hash the first N bytes followed by the salt, CALLS times back to back
//   seal N CALLS    AES-256-GCM of the first N bytes with the library's nonce (the envelopes'
//                   sealing alone), CALLS times back to back, each into a new buffer from malloc
//                   as an envelope is (its pages are fresh, as a new bytes object's are); "sha"
//                   is then the hex of the last tag and nonce
// Every answer carries the elapsed wall-clock and thread CPU nanoseconds and the last digest in
// hex, so the caller can check that it timed the same computation as the module.
#include <openssl/aead.h>
#include <openssl/base.h>
#include <openssl/crypto.h>
#include <openssl/digest.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "raw_sha384: %s\n", why.c_str());
  std::exit(1);
}

std::vector<std::uint8_t> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) die(std::string("cannot open ") + path);
  std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
  return data;
}

std::string hex(const std::uint8_t* bytes, unsigned length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < length; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0f];
  }
  return out;
}

class RawLoop {
 public:
  explicit RawLoop(std::string salt) : salt_(std::move(salt)) { EVP_MD_CTX_init(&ctx_); }
  ~RawLoop() { EVP_MD_CTX_cleanup(&ctx_); }
  RawLoop(const RawLoop&) = delete;
  RawLoop& operator=(const RawLoop&) = delete;

  // One salted digest, the way a caller of the library would write it.
  void digest(const std::uint8_t* data, std::size_t length) {
    if (EVP_DigestInit_ex(&ctx_, EVP_sha384(), nullptr) != 1 ||
        EVP_DigestUpdate(&ctx_, data, length) != 1 ||
        EVP_DigestUpdate(&ctx_, salt_.data(), salt_.size()) != 1 ||
        EVP_DigestFinal_ex(&ctx_, out_, &out_length_) != 1) {
      die("the library refused a digest step");
    }
  }

  std::string last_hex() const { return hex(out_, out_length_); }

 private:
  EVP_MD_CTX ctx_;
  std::string salt_;
  std::uint8_t out_[EVP_MAX_MD_SIZE] = {};
  unsigned out_length_ = 0;
};

long long now_ns(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

// Both clocks the Python side can choose from: wall time, and the CPU time of this thread, which
// leaves out the time other work on the machine takes the processor away.
struct Stopwatch {
  long long wall = now_ns(CLOCK_MONOTONIC);
  long long cpu = now_ns(CLOCK_THREAD_CPUTIME_ID);

  std::string json() const {
    const long long cpu_ns = now_ns(CLOCK_THREAD_CPUTIME_ID) - cpu;
    const long long wall_ns = now_ns(CLOCK_MONOTONIC) - wall;
    return "\"wall_ns\": " + std::to_string(wall_ns) + ", \"cpu_ns\": " + std::to_string(cpu_ns);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) die("usage: raw_sha384 CONTENT_FILE SALT");
  const std::vector<std::uint8_t> content = read_file(argv[1]);
  RawLoop loop(argv[2]);
  std::printf("{\"ready\": true, \"library\": \"%s %s\", \"fips_mode\": %d, \"bytes\": %zu}\n",
              AWSLC_VERSION_NAME, AWSLC_VERSION_NUMBER_STRING, FIPS_mode(), content.size());
  std::fflush(stdout);

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command == "whole") {
      const Stopwatch watch;
      loop.digest(content.data(), content.size());
      const std::string times = watch.json();
      std::printf("{\"bytes\": %zu, \"calls\": 1, %s, \"sha\": \"%s\"}\n", content.size(),
                  times.c_str(), loop.last_hex().c_str());
    } else if (command == "prefix") {
      std::size_t length = 0;
      long long calls = 0;
      if (!(words >> length >> calls) || length > content.size() || calls < 1) {
        die("bad command: " + line);
      }
      const Stopwatch watch;
      for (long long i = 0; i < calls; ++i) loop.digest(content.data(), length);
      const std::string times = watch.json();
      std::printf("{\"bytes\": %zu, \"calls\": %lld, %s, \"sha\": \"%s\"}\n", length, calls,
                  times.c_str(), loop.last_hex().c_str());
    } else if (command == "seal") {
      std::size_t length = 0;
      long long calls = 0;
      if (!(words >> length >> calls) || length > content.size() || calls < 1) {
        die("bad command: " + line);
      }
      static const std::uint8_t kKey[32] = {1};
      bssl::ScopedEVP_AEAD_CTX aead;
      std::uint8_t tag_nonce[28];
      std::size_t tag_nonce_length = 0;
      if (!EVP_AEAD_CTX_init(aead.get(), EVP_aead_aes_256_gcm_randnonce(), kKey, sizeof kKey,
                             sizeof tag_nonce, nullptr)) {
        die("the library refused the AEAD");
      }
      const Stopwatch watch;
      for (long long i = 0; i < calls; ++i) {
        const std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[length + 1]);  // not zeroed
        if (!EVP_AEAD_CTX_seal_scatter(aead.get(), out.get(), tag_nonce, &tag_nonce_length,
                                       sizeof tag_nonce, nullptr, 0, content.data(), length,
                                       nullptr, 0, nullptr, 0)) {
          die("the library refused a seal");
        }
      }
      const std::string times = watch.json();
      std::printf("{\"bytes\": %zu, \"calls\": %lld, %s, \"sha\": \"%s\"}\n", length, calls,
                  times.c_str(), hex(tag_nonce, sizeof tag_nonce).c_str());
    } else {
      die("unknown command: " + line);
    }
    std::fflush(stdout);
  }
  return 0;
}
