#include "envelope/base64.hpp"

#include <array>

#include "envelope/pem.hpp"

namespace core_fips {
namespace {

constexpr std::uint8_t kPad = '=';
constexpr std::uint8_t kNotInAlphabet = 0xFF;

constexpr std::array<std::uint8_t, 256> make_values() {
  std::array<std::uint8_t, 256> values{};
  values.fill(kNotInAlphabet);
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::uint8_t i = 0; i < 64; ++i) values[static_cast<std::uint8_t>(alphabet[i])] = i;
  return values;
}
constexpr std::array<std::uint8_t, 256> kValues = make_values();

// Collects characters four at a time and appends the bytes they encode. A group with padding
// ends the data: any character after it is refused.
class GroupDecoder {
 public:
  explicit GroupDecoder(WipedBytes& out) : out_(out) {}

  bool feed(ByteSpan line) {
    for (const std::uint8_t c : line) {
      if (finished_) return false;
      group_[filled_++] = c;
      if (filled_ == group_.size()) {
        filled_ = 0;
        if (!decode_group()) return false;
      }
    }
    return true;
  }
  bool complete() const { return filled_ == 0; }

 private:
  bool decode_group() {
    // "xx==" carries one byte, "xxx=" two, "xxxx" three; padding stands nowhere else.
    std::size_t data_chars = 4;
    if (group_[3] == kPad) data_chars = group_[2] == kPad ? 2 : 3;
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < data_chars; ++i) {
      const std::uint8_t value = kValues[group_[i]];
      if (value == kNotInAlphabet) return false;
      bits = bits << 6 | value;
    }
    // Canonical form: the bits past the last whole byte must be zero, so that re-encoding the
    // decoded bytes gives back these very characters.
    if (data_chars == 2) {
      if ((bits & 0x0F) != 0) return false;
      out_.push_back(static_cast<std::uint8_t>(bits >> 4));
    } else if (data_chars == 3) {
      if ((bits & 0x03) != 0) return false;
      out_.push_back(static_cast<std::uint8_t>(bits >> 10));
      out_.push_back(static_cast<std::uint8_t>(bits >> 2));
    } else {
      out_.push_back(static_cast<std::uint8_t>(bits >> 16));
      out_.push_back(static_cast<std::uint8_t>(bits >> 8));
      out_.push_back(static_cast<std::uint8_t>(bits));
    }
    finished_ = data_chars != 4;
    return true;
  }

  WipedBytes& out_;
  std::array<std::uint8_t, 4> group_{};
  std::size_t filled_ = 0;
  bool finished_ = false;
};

}  // namespace

std::optional<WipedBytes> decode_pem_base64(ByteSpan body) {
  if (body.empty()) return std::nullopt;
  WipedBytes out;
  out.reserve(body.size() / 4 * 3);
  GroupDecoder decoder(out);

  ByteCursor in(body);
  while (!in.empty()) {
    ByteCursor line = in;
    if (in.size() > kPemLineWidth) {
      // A full line must be followed by a break.
      line = ByteCursor(*in.get_bytes(kPemLineWidth));
      if (!skip_leading_line_break(in)) return std::nullopt;
    } else {
      // The last line may carry one break of its own: that of an empty line before the END line.
      in = ByteCursor();
      drop_trailing_line_break(line);
    }
    if (!decoder.feed(line.rest())) return std::nullopt;
  }
  if (!decoder.complete()) return std::nullopt;
  return out;
}

}  // namespace core_fips
