// DigestContext: one running SHA-384 computation in the library's EVP_MD_CTX, held inline by the
// library's own owner, with the running input length. Library refusals are internal faults.
#pragma once

#include <openssl/digest.h>

#include <array>
#include <cstdint>
#include <span>

namespace core_fips {

inline constexpr std::size_t kSha384Length = 48;
// SHA-384 accepts at most 2^128 - 1 bits; the running length is counted in 64 bits.
inline constexpr std::uint64_t kMaxDigestInput = UINT64_MAX;

class DigestContext {
 public:
  // Starts SHA-384.
  DigestContext();
  DigestContext(DigestContext&&) = default;
  DigestContext& operator=(DigestContext&&) = delete;

  void update(std::span<const std::uint8_t> bytes);
  // Finishes the computation; the context cannot be fed afterwards.
  std::array<std::uint8_t, kSha384Length> finish();

  std::uint64_t length() const { return length_; }

 private:
  bssl::ScopedEVP_MD_CTX evp_;
  std::uint64_t length_ = 0;
};

}  // namespace core_fips
