#include "envelope/utf8.hpp"

#include <cstdint>

namespace core_fips {
namespace {

// Sequence length announced by a lead byte; 0 for bytes that cannot start a sequence
// (continuation bytes, the overlong leads C0 and C1, and leads above U+10FFFF).
int sequence_length(std::uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// The second byte carries the restrictions that exclude overlong forms (E0, F0), surrogates (ED)
// and code points above U+10FFFF (F4).
bool second_byte_fits(std::uint8_t lead, std::uint8_t second) {
  switch (lead) {
    case 0xE0:
      return second >= 0xA0 && second <= 0xBF;
    case 0xED:
      return second >= 0x80 && second <= 0x9F;
    case 0xF0:
      return second >= 0x90 && second <= 0xBF;
    case 0xF4:
      return second >= 0x80 && second <= 0x8F;
    default:
      return second >= 0x80 && second <= 0xBF;
  }
}

bool is_continuation(std::uint8_t byte) { return byte >= 0x80 && byte <= 0xBF; }

}  // namespace

std::optional<CoreError::Utf8Failure> find_utf8_error(ByteSpan bytes) {
  ByteCursor in(bytes);
  while (!in.empty()) {
    const std::size_t start = bytes.size() - in.size();
    const std::uint8_t lead = *in.get_u8();
    const int length = sequence_length(lead);
    if (length == 1) continue;
    if (length == 0) return CoreError::Utf8Failure{start, 1};

    const std::optional<std::uint8_t> second = in.get_u8();
    if (!second) return CoreError::Utf8Failure{start, std::nullopt};
    if (!second_byte_fits(lead, *second)) return CoreError::Utf8Failure{start, 1};
    for (std::uint8_t done = 2; done < length; ++done) {
      const std::optional<std::uint8_t> next = in.get_u8();
      if (!next) return CoreError::Utf8Failure{start, std::nullopt};
      if (!is_continuation(*next)) return CoreError::Utf8Failure{start, done};
    }
  }
  return std::nullopt;
}

}  // namespace core_fips
