#include "envelope/der.hpp"

#include <bit>

namespace core_fips {
namespace {

// A definite length in its shortest form: one octet below 128, otherwise 0x81 to 0x84 and as few
// big-endian octets as the value needs, none of them a leading zero.
std::optional<std::size_t> read_length(ByteCursor& in) {
  const std::optional<std::uint8_t> first = in.get_u8();
  if (!first) return std::nullopt;
  if (*first < 0x80) return *first;
  const std::size_t octets = *first & 0x7Fu;
  if (octets == 0 || octets > 4) return std::nullopt;  // indefinite, or wider than we allow
  std::size_t length = 0;
  for (std::size_t i = 0; i < octets; ++i) {
    const std::optional<std::uint8_t> octet = in.get_u8();
    if (!octet) return std::nullopt;
    length = length << 8 | *octet;
  }
  if (length < 0x80 || length >> (8 * (octets - 1)) == 0) return std::nullopt;
  if (length > kDerMaxLength) return std::nullopt;
  return length;
}

ByteSpan without_leading_zeros(ByteSpan magnitude) {
  ByteCursor in(magnitude);
  while (in.peek() == std::uint8_t{0}) in.skip(1);
  return in.rest();
}

std::size_t significant_bits(ByteSpan magnitude) {
  if (magnitude.empty()) return 0;
  return (magnitude.size() - 1) * 8 + static_cast<std::size_t>(std::bit_width(magnitude.front()));
}

bool is_odd(ByteSpan magnitude) { return !magnitude.empty() && (magnitude.back() & 1u) != 0; }

// Both without leading zeros.
bool is_less(ByteSpan a, ByteSpan b) {
  if (a.size() != b.size()) return a.size() < b.size();
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return a[i] < b[i];
  }
  return false;
}

// At most eight octets.
std::uint64_t small_value(ByteSpan magnitude) {
  std::uint64_t value = 0;
  for (const std::uint8_t octet : magnitude) value = value << 8 | octet;
  return value;
}

// DER writing, sizes first so that the output is allocated once.
std::size_t length_size(std::size_t length) {
  std::size_t octets = 1;
  if (length >= 0x80) {
    for (std::size_t rest = length; rest != 0; rest >>= 8) ++octets;
  }
  return octets;
}

std::size_t element_size(std::size_t content) { return 1 + length_size(content) + content; }

// An unsigned number needs a 00 sign octet when its top bit is set; zero is one 00 octet.
bool needs_sign_octet(ByteSpan magnitude) { return magnitude.empty() || magnitude.front() >= 0x80; }

std::size_t integer_content_size(ByteSpan magnitude) {
  return magnitude.size() + (needs_sign_octet(magnitude) ? 1 : 0);
}

void put_header(std::vector<std::uint8_t>& out, std::uint8_t tag, std::size_t length) {
  out.push_back(tag);
  if (length < 0x80) {
    out.push_back(static_cast<std::uint8_t>(length));
    return;
  }
  const std::size_t octets = length_size(length) - 1;
  out.push_back(static_cast<std::uint8_t>(0x80 | octets));
  for (std::size_t i = octets; i-- > 0;)
    out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
}

void put_unsigned(std::vector<std::uint8_t>& out, ByteSpan magnitude) {
  put_header(out, kDerInteger, integer_content_size(magnitude));
  if (needs_sign_octet(magnitude)) out.push_back(0);
  out.insert(out.end(), magnitude.begin(), magnitude.end());
}

}  // namespace

std::optional<ByteSpan> read_der_element(ByteCursor& in, std::uint8_t tag) {
  ByteCursor at = in;
  if (at.get_u8() != tag) return std::nullopt;
  const std::optional<std::size_t> length = read_length(at);
  if (!length) return std::nullopt;
  const std::optional<ByteSpan> content = at.get_bytes(*length);
  if (!content) return std::nullopt;
  in = at;
  return content;
}

std::optional<ByteSpan> read_der_unsigned(ByteCursor& in) {
  ByteCursor at = in;
  const std::optional<ByteSpan> content = read_der_element(at, kDerInteger);
  if (!content) return std::nullopt;
  ByteCursor value(*content);
  const std::optional<std::uint8_t> first = value.peek();
  if (!first || *first >= 0x80) return std::nullopt;  // empty, or negative
  if (*first == 0) {
    value.skip(1);
    // The 00 octet is only there to keep a following high bit from reading as a sign.
    if (const std::optional<std::uint8_t> next = value.peek(); next && *next < 0x80) {
      return std::nullopt;
    }
  }
  in = at;
  return value.rest();
}

bool is_single_der_sequence(ByteSpan document) {
  ByteCursor in(document);
  return read_der_element(in, kDerSequence) && in.empty();
}

std::optional<SubjectPublicKeyInfo> read_subject_public_key_info(ByteSpan document) {
  ByteCursor in(document);
  const std::optional<ByteSpan> sequence = read_der_element(in, kDerSequence);
  if (!sequence || !in.empty()) return std::nullopt;
  ByteCursor fields(*sequence);
  const std::optional<ByteSpan> identifier = read_der_element(fields, kDerSequence);
  if (!identifier) return std::nullopt;
  const std::optional<ByteSpan> bits = read_der_element(fields, kDerBitString);
  if (!bits || !fields.empty()) return std::nullopt;
  ByteCursor algorithm(*identifier);
  const std::optional<ByteSpan> oid = read_der_element(algorithm, kDerObjectIdentifier);
  if (!oid) return std::nullopt;
  ByteCursor key(*bits);
  if (key.get_u8() != std::uint8_t{0}) return std::nullopt;  // unused bits, or no octet at all
  return SubjectPublicKeyInfo{*oid, algorithm.rest(), key.rest()};
}

std::optional<RsaPublicComponents> read_rsa_public_key(ByteSpan document) {
  ByteCursor in(document);
  const std::optional<ByteSpan> sequence = read_der_element(in, kDerSequence);
  if (!sequence || !in.empty()) return std::nullopt;
  ByteCursor fields(*sequence);
  const std::optional<ByteSpan> modulus = read_der_unsigned(fields);
  if (!modulus) return std::nullopt;
  const std::optional<ByteSpan> exponent = read_der_unsigned(fields);
  if (!exponent || !fields.empty()) return std::nullopt;
  return RsaPublicComponents{*modulus, *exponent};
}

std::optional<KeyRule> first_broken_key_rule(const RsaPublicComponents& key) {
  const ByteSpan n = without_leading_zeros(key.modulus);
  const ByteSpan e = without_leading_zeros(key.exponent);
  if (significant_bits(n) > 4096) return KeyRule::ModulusAtMost4096Bits;
  if (e.size() > 8) return KeyRule::ExponentFitsIn64Bits;
  if (!is_less(e, n)) return KeyRule::ExponentBelowModulus;
  if (!is_odd(n)) return KeyRule::ModulusOdd;
  if (!is_odd(e)) return KeyRule::ExponentOdd;
  const std::uint64_t exponent = small_value(e);
  if (exponent < 2) return KeyRule::ExponentAtLeast2;
  if (exponent > (std::uint64_t{1} << 33) - 1) return KeyRule::ExponentAtMost33Bits;
  return std::nullopt;
}

std::vector<std::uint8_t> encode_subject_public_key_info(const RsaPublicComponents& key) {
  const ByteSpan n = without_leading_zeros(key.modulus);
  const ByteSpan e = without_leading_zeros(key.exponent);
  // AlgorithmIdentifier: rsaEncryption (1.2.840.113549.1.1.1) with NULL parameters.
  static constexpr std::uint8_t kAlgorithm[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                                0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
  const std::size_t rsa_key =
      element_size(integer_content_size(n)) + element_size(integer_content_size(e));
  const std::size_t bit_string = 1 + element_size(rsa_key);
  const std::size_t spki = sizeof kAlgorithm + element_size(bit_string);

  std::vector<std::uint8_t> out;
  out.reserve(element_size(spki));
  put_header(out, kDerSequence, spki);
  out.insert(out.end(), std::begin(kAlgorithm), std::end(kAlgorithm));
  put_header(out, kDerBitString, bit_string);
  out.push_back(0);  // no unused bits
  put_header(out, kDerSequence, rsa_key);
  put_unsigned(out, n);
  put_unsigned(out, e);
  return out;
}

}  // namespace core_fips
