#include "envelope/pem.hpp"

#include <cstdint>

namespace core_fips {
namespace {

// Consumes text up to the start of the block. The block must open the text or directly follow an
// LF; free text before it may be anything but NUL.
bool skip_preamble(ByteCursor& in) {
  const ByteSpan begin = ascii("-----BEGIN ");
  if (in.starts_with(begin)) return true;
  while (const std::optional<std::uint8_t> c = in.get_u8()) {
    if (*c == 0) return false;
    if (*c == '\n' && in.starts_with(begin)) return true;
  }
  return false;
}

bool is_label_char(std::uint8_t c) { return c >= 0x21 && c <= 0x7E && c != '-'; }
bool is_blank(std::uint8_t c) { return c == ' ' || c == '\t'; }

// Printable ASCII, with single spaces or tabs allowed after the first character.
bool is_label(ByteSpan label) {
  bool after_blank = false;
  for (std::size_t i = 0; i < label.size(); ++i) {
    if (is_label_char(label[i])) {
      after_blank = false;
    } else if (i != 0 && is_blank(label[i]) && !after_blank) {
      after_blank = true;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

bool skip_leading_line_break(ByteCursor& in) {
  return in.skip_prefix(ascii("\r\n")) || in.skip_prefix(ascii("\n")) ||
         in.skip_prefix(ascii("\r"));
}

bool drop_trailing_line_break(ByteCursor& in) {
  return in.skip_suffix(ascii("\r\n")) || in.skip_suffix(ascii("\n")) ||
         in.skip_suffix(ascii("\r"));
}

std::optional<PemBlock> read_pem_block(ByteSpan text) {
  ByteCursor in(text);
  if (!skip_preamble(in) || !in.skip_prefix(ascii("-----BEGIN "))) return std::nullopt;

  const std::optional<ByteSpan> label = in.get_until('-');
  if (!label || !is_label(*label) || !in.skip_prefix(ascii("-----")) ||
      !skip_leading_line_break(in)) {
    return std::nullopt;
  }

  // The END line is found from the end, so anything between the two boundaries, including
  // further boundary lines, lands in the body and fails there. One break may end the text.
  drop_trailing_line_break(in);
  if (!in.skip_suffix(ascii("-----")) || !in.skip_suffix(*label) ||
      !in.skip_suffix(ascii("-----END ")) || !drop_trailing_line_break(in)) {
    return std::nullopt;
  }
  return PemBlock{*label, in.rest()};
}

}  // namespace core_fips
