// WipedBytes: heap bytes decoded from a key document, which may hold a secret (a private key given
// by mistake). Variable-sized, so SecretBuffer cannot hold them: their allocator wipes every block
// before freeing it, on growth as on release, so no owner of them leaves a copy in freed memory.
#pragma once

#include <openssl/mem.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace core_fips {

template <class T>
struct WipingAllocator {
  using value_type = T;

  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    OPENSSL_cleanse(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }

  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

using WipedBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

}  // namespace core_fips
