// A refused key block leaves nothing decoded from it in freed memory. The global allocation
// functions are replaced for this executable: while a test watches, every block handed back to
// operator delete is scanned for the secret before it is freed, whichever owner held it (a plain
// std::vector as much as ours), and the largest allocation is noted. Unwatched, they are malloc and
// free. Never inlined, so that valgrind, which puts its own in their place, replaces every call
// (these tests then skip: the watch is not there).
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "envelope/mlkem_public_key.hpp"
#include "envelope/rsa_public_key.hpp"
#include "key_test_support.hpp"

namespace {

std::atomic<const std::vector<std::uint8_t>*> watched{nullptr};
std::atomic<int> unwiped_frees{0};
std::atomic<std::size_t> largest_allocation{0};

void* allocate(std::size_t n) {
  if (watched.load() != nullptr) {
    std::size_t seen = largest_allocation.load();
    while (n > seen && !largest_allocation.compare_exchange_weak(seen, n)) {
    }
  }
  return std::malloc(n == 0 ? 1 : n);
}

void release(void* p) noexcept {
  const std::vector<std::uint8_t>* secret = watched.load();
  if (p != nullptr && secret != nullptr) {
    const auto* block = static_cast<const std::uint8_t*>(p);
    const std::uint8_t* end = block + malloc_usable_size(p);
    if (std::search(block, end, secret->begin(), secret->end()) != end) ++unwiped_frees;
  }
  std::free(p);
}

}  // namespace

#define CORE_FIPS_NOINLINE __attribute__((noinline))
CORE_FIPS_NOINLINE void* operator new(std::size_t n) {
  if (void* p = allocate(n)) return p;
  throw std::bad_alloc();
}
CORE_FIPS_NOINLINE void* operator new[](std::size_t n) { return operator new(n); }
CORE_FIPS_NOINLINE void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return allocate(n);
}
CORE_FIPS_NOINLINE void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return allocate(n);
}
CORE_FIPS_NOINLINE void operator delete(void* p) noexcept { release(p); }
CORE_FIPS_NOINLINE void operator delete[](void* p) noexcept { release(p); }
CORE_FIPS_NOINLINE void operator delete(void* p, std::size_t) noexcept { release(p); }
CORE_FIPS_NOINLINE void operator delete[](void* p, std::size_t) noexcept { release(p); }
CORE_FIPS_NOINLINE void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
CORE_FIPS_NOINLINE void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

namespace core_fips {
namespace {

using testing::Der;
using testing::operator+;
using testing::pem;
using testing::tlv;

// valgrind preloads its allocator, which takes the place of the functions above.
bool under_valgrind() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr &&
         std::string_view(preload).find("vgpreload") != std::string_view::npos;
}
#define SKIP_UNDER_VALGRIND() \
  if (under_valgrind()) GTEST_SKIP() << "valgrind's allocator replaces the watch"

// 48 octets no key document holds by chance.
Der secret() {
  Der out;
  for (std::uint8_t i = 0; i < 48; ++i) out.push_back(static_cast<std::uint8_t>(i * 37 + 11));
  return out;
}

// What reading `input` with both key readers leaves: (frees of a block holding the secret, the
// largest allocation), each reader refusing it as an invalid public key.
struct Trace {
  int unwiped;
  std::size_t largest;
};
Trace read_watched(const std::string& input, const Der& watched_secret) {
  const ByteSpan bytes = ascii(input);
  unwiped_frees = 0;
  largest_allocation = 0;
  watched = &watched_secret;
  const bool rsa_refused = [&] {
    auto key = parse_rsa_public_key_pem(bytes);
    return !key.ok() && key.error().kind() == CoreError::Kind::InvalidPublicKey;
  }();
  const bool mlkem_refused = [&] {
    auto key = parse_mlkem_public_key_pem(bytes);
    return !key.ok() && key.error().kind() == CoreError::Kind::InvalidPublicKey;
  }();
  watched = nullptr;
  EXPECT_TRUE(rsa_refused && mlkem_refused) << input;
  return {unwiped_frees.load(), largest_allocation.load()};
}

TEST(KeyWipe, TheWatchSeesASecretFreedUnwiped) {
  SKIP_UNDER_VALGRIND();
  const Der s = secret();
  watched = &s;
  unwiped_frees = 0;
  delete new Der(s);
  watched = nullptr;
  EXPECT_EQ(unwiped_frees.load(), 1);
}

TEST(KeyWipe, APrivateKeyBlockIsRefusedUndecoded) {
  SKIP_UNDER_VALGRIND();
  // Long enough that decoding it would be the largest allocation by far.
  Der body;
  for (int i = 0; i < 64; ++i) body = body + tlv(0x04, secret());
  const Der document = tlv(0x30, body);
  for (const char* label : {"PRIVATE KEY", "RSA PRIVATE KEY"}) {
    const Trace trace = read_watched(pem(document, 64, label), secret());
    EXPECT_EQ(trace.unwiped, 0) << label;
    EXPECT_LT(trace.largest, document.size() / 2) << label;
  }
}

TEST(KeyWipe, WhatIsDecodedIsWipedOnEveryRefusal) {
  SKIP_UNDER_VALGRIND();
  const Der s = secret();
  const Der sequence = tlv(0x30, tlv(0x04, s));
  std::string cut = pem(sequence + s, 64, "PUBLIC KEY");
  cut.insert(cut.find("\n-----END"), "!");  // the decoder refuses its last line
  const std::pair<const char*, std::string> cases[] = {
      {"refused by the RSA key's reader", pem(sequence, 64, "RSA PUBLIC KEY")},
      {"refused by the ML-KEM key's reader", pem(sequence, 64, "PUBLIC KEY")},
      {"not one DER SEQUENCE", pem(sequence + Der{0}, 64, "PUBLIC KEY")},
      {"Base64 refused past the secret", cut},
  };
  for (const auto& [what, input] : cases) {
    EXPECT_EQ(read_watched(input, s).unwiped, 0) << what;
  }
}

}  // namespace
}  // namespace core_fips
