#include "digest/digest_context.hpp"

#include <cstring>

#include "errors/internal_fault.hpp"
#include "errors/surface_texts.hpp"

namespace core_fips {

namespace {
// The library's final step writes into a buffer sized for any digest it knows.
constexpr std::size_t kFinalBufferLength = 64;
}  // namespace

DigestContext::DigestContext() {
  if (EVP_DigestInit_ex(evp_.get(), EVP_sha384(), nullptr) != 1 || fault_injected("digest.init")) {
    throw InternalFault(surface::kUnwrapOnErr, surface::kUnspecified);
  }
}

void DigestContext::update(std::span<const std::uint8_t> bytes) {
  const std::uint64_t n = bytes.size();
  if (n > kMaxDigestInput - length_ || fault_injected("digest.update")) {
    throw InternalFault(surface::kDigestUpdateFailed, surface::kUnspecified);
  }
  length_ += n;
  if (EVP_DigestUpdate(evp_.get(), bytes.data(), bytes.size()) != 1) {
    throw InternalFault(surface::kDigestUpdateFailed, surface::kUnspecified);
  }
}

std::array<std::uint8_t, kSha384Length> DigestContext::finish() {
  std::uint8_t out[kFinalBufferLength] = {};
  // EVP_DigestFinal cleans the context up on both outcomes.
  if (EVP_DigestFinal(evp_.get(), out, nullptr) != 1 || fault_injected("digest.final")) {
    throw InternalFault(surface::kDigestFinalFailed, surface::kUnspecified);
  }
  std::array<std::uint8_t, kSha384Length> digest;
  std::memcpy(digest.data(), out, kSha384Length);
  return digest;
}

}  // namespace core_fips
