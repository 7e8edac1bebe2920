#include "digest/salted_digest.hpp"

#include <fcntl.h>
#include <openssl/mem.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <new>

#include "errors/internal_fault.hpp"
#include "errors/surface_texts.hpp"

namespace core_fips {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr std::size_t kUuidBytes = 16;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// For kernels before 3.17, which have no getrandom, and for seccomp filters that refuse it.
bool read_urandom(std::uint8_t* out, std::size_t n) {
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t filled = 0;
  while (filled < n) {
    const ssize_t got = read(fd, out + filled, n - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  close(fd);
  return filled == n;
}

// The system call, not glibc's getrandom() wrapper: the wrapper alone would raise the wheels'
// glibc floor from 2.17 to 2.25.
void fill_from_os(std::uint8_t* out, std::size_t n) {
  std::size_t filled = 0;
  bool ok = true;
  while (ok && filled < n) {
    const long got = syscall(SYS_getrandom, out + filled, n - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    // EPERM: older Docker and systemd seccomp profiles refuse getrandom so; the interpreter's own
    // os.urandom falls back to the device on both.
    if (got < 0 && (errno == ENOSYS || errno == EPERM)) {
      ok = read_urandom(out + filled, n - filled);
      break;
    }
    ok = got > 0;
    if (ok) filled += static_cast<std::size_t>(got);
  }
  if (!ok || fault_injected("salt.random")) {
    throw InternalFault(surface::kNoRandomForUuid, surface::kUnexpectedSituation);
  }
}

DigestText finish_hex(DigestContext& context, std::string_view salt) {
  context.update(bytes_of(salt));
  const auto digest = context.finish();
  DigestText text;
  render_hex(digest, text.data());
  return text;
}

}  // namespace

void render_hex(std::span<const std::uint8_t> bytes, char* out) {
  // Two characters per byte from one table look-up.
  static constexpr auto kPairs = [] {
    std::array<char, 512> pairs{};
    for (std::size_t i = 0; i < 256; ++i) {
      pairs[2 * i] = kHexDigits[i >> 4];
      pairs[2 * i + 1] = kHexDigits[i & 0x0f];
    }
    return pairs;
  }();
  for (const std::uint8_t byte : bytes) {
    std::memcpy(out, &kPairs[2 * byte], 2);
    out += 2;
  }
}

std::string render_hex(std::span<const std::uint8_t> bytes) {
  std::string out(2 * bytes.size(), '\0');
  render_hex(bytes, out.data());
  return out;
}

std::string default_salt() {
  std::uint8_t uuid[kUuidBytes];
  fill_from_os(uuid, sizeof uuid);
  uuid[6] = static_cast<std::uint8_t>((uuid[6] & 0x0f) | 0x40);  // version 4
  uuid[8] = static_cast<std::uint8_t>((uuid[8] & 0x3f) | 0x80);  // variant 10
  return render_hex(uuid);
}

SaltedDigest::SaltedDigest(std::optional<std::string_view> salt)
    : salt_(salt ? std::string(*salt) : default_salt()) {
  // Test builds: the salt's allocation failing, the C++ allocation failure a body can meet.
  if (fault_injected("salt.alloc")) throw std::bad_alloc();
}

TokenValue SaltedDigest::finish() && {
  return TokenValue{finish_hex(context_, salt_), std::move(salt_)};
}

DigestVerifier::DigestVerifier(std::string_view expected, std::string_view salt)
    : salt_(salt), expected_(expected) {}

Status DigestVerifier::verify() && {
  const DigestText actual = finish_hex(context_, salt_);
  // Constant time over equal lengths: the comparison must not tell how much of a guess matched.
  if (actual.size() == expected_.size() &&
      CRYPTO_memcmp(actual.data(), expected_.data(), actual.size()) == 0) {
    return Done{};
  }
  return CoreError::generic(surface::kTokenMismatch);
}

TokenValue salted_token(std::span<const std::uint8_t> content,
                        std::optional<std::string_view> salt) {
  SaltedDigest engine(salt);
  engine.update(content);
  return std::move(engine).finish();
}

Status verify_salted(std::string_view expected, std::string_view salt,
                     std::span<const std::uint8_t> content) {
  DigestVerifier verifier(expected, salt);
  verifier.update(content);
  return std::move(verifier).verify();
}

}  // namespace core_fips
