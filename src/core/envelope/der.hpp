// Strict DER for the PKCS #1 RSAPublicKey, the rules on its modulus and exponent, and its
// re-encoding as a SubjectPublicKeyInfo for the library; and the SubjectPublicKeyInfo read.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "envelope/byte_cursor.hpp"

namespace core_fips {

inline constexpr std::uint8_t kDerInteger = 0x02;
inline constexpr std::uint8_t kDerBitString = 0x03;
inline constexpr std::uint8_t kDerObjectIdentifier = 0x06;
inline constexpr std::uint8_t kDerSequence = 0x30;
// The longest content a length may announce (four length octets, top nibble clear).
inline constexpr std::size_t kDerMaxLength = 0x0FFFFFFF;

// Reads one element with the single-octet tag `tag` and a minimal definite length and returns its
// content. On failure the cursor is left where it was.
std::optional<ByteSpan> read_der_element(ByteCursor& in, std::uint8_t tag);

// Reads an INTEGER as an unsigned number and returns its magnitude without leading zero octets
// (empty for zero). Refuses empty content, negative numbers and non-minimal encodings.
std::optional<ByteSpan> read_der_unsigned(ByteCursor& in);

// True when `document` is exactly one SEQUENCE element.
bool is_single_der_sequence(ByteSpan document);

// A SubjectPublicKeyInfo { AlgorithmIdentifier { algorithm OID, parameters }, BIT STRING }, its
// fields viewing the document it was read from.
struct SubjectPublicKeyInfo {
  ByteSpan algorithm;   // the OID's content octets
  ByteSpan parameters;  // whatever follows the OID inside the AlgorithmIdentifier, as encoded
  ByteSpan key;         // the BIT STRING's bits; only whole octets (no unused bits) are read
};

// The document is exactly one SubjectPublicKeyInfo, with nothing after any of its parts.
std::optional<SubjectPublicKeyInfo> read_subject_public_key_info(ByteSpan document);

// Modulus and public exponent as big-endian magnitudes without leading zero octets. They view the
// decoded document they were read from.
struct RsaPublicComponents {
  ByteSpan modulus;
  ByteSpan exponent;
};

// The RSAPublicKey SEQUENCE { modulus INTEGER, publicExponent INTEGER }, nothing else and nothing
// after it.
std::optional<RsaPublicComponents> read_rsa_public_key(ByteSpan document);

// The rules an acceptable key meets, in the order they are checked.
enum class KeyRule : std::uint8_t {
  ModulusAtMost4096Bits,
  ExponentFitsIn64Bits,
  ExponentBelowModulus,
  ModulusOdd,
  ExponentOdd,
  ExponentAtLeast2,
  ExponentAtMost33Bits,
};

// The first rule the key breaks, or none.
std::optional<KeyRule> first_broken_key_rule(const RsaPublicComponents& key);

// SubjectPublicKeyInfo { AlgorithmIdentifier { rsaEncryption, NULL }, BIT STRING { RSAPublicKey } }
// in DER, with both integers in minimal unsigned form.
std::vector<std::uint8_t> encode_subject_public_key_info(const RsaPublicComponents& key);

}  // namespace core_fips
