// ByteCursor: a bounds-checked read position over borrowed bytes, in the manner of the library's
// CBS. Every read either succeeds whole or leaves the cursor untouched and reports failure, so the
// readers built on it never index past their input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace core_fips {

using ByteSpan = std::span<const std::uint8_t>;

// The bytes of an ASCII literal.
inline ByteSpan ascii(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline bool same_bytes(ByteSpan a, ByteSpan b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

class ByteCursor {
 public:
  ByteCursor() = default;
  explicit ByteCursor(ByteSpan bytes) : rest_(bytes) {}

  ByteSpan rest() const { return rest_; }
  std::size_t size() const { return rest_.size(); }
  bool empty() const { return rest_.empty(); }

  std::optional<std::uint8_t> peek() const {
    if (rest_.empty()) return std::nullopt;
    return rest_.front();
  }
  bool starts_with(ByteSpan prefix) const {
    return prefix.size() <= rest_.size() && same_bytes(rest_.first(prefix.size()), prefix);
  }
  bool ends_with(ByteSpan suffix) const {
    return suffix.size() <= rest_.size() && same_bytes(rest_.last(suffix.size()), suffix);
  }

  bool skip(std::size_t n) { return get_bytes(n).has_value(); }
  std::optional<std::uint8_t> get_u8() {
    auto one = get_bytes(1);
    if (!one) return std::nullopt;
    return one->front();
  }
  std::optional<ByteSpan> get_bytes(std::size_t n) {
    if (n > rest_.size()) return std::nullopt;
    ByteSpan taken = rest_.first(n);
    rest_ = rest_.subspan(n);
    return taken;
  }
  // The bytes before the first `stop`, which itself stays; none if `stop` does not occur.
  std::optional<ByteSpan> get_until(std::uint8_t stop) {
    for (std::size_t i = 0; i < rest_.size(); ++i) {
      if (rest_[i] == stop) return get_bytes(i);
    }
    return std::nullopt;
  }
  // Takes `prefix` off the front when the bytes start with it.
  bool skip_prefix(ByteSpan prefix) { return starts_with(prefix) && skip(prefix.size()); }

  // Reading from the back end.
  bool drop_last(std::size_t n) {
    if (n > rest_.size()) return false;
    rest_ = rest_.first(rest_.size() - n);
    return true;
  }
  bool skip_suffix(ByteSpan suffix) { return ends_with(suffix) && drop_last(suffix.size()); }

 private:
  ByteSpan rest_;
};

}  // namespace core_fips
