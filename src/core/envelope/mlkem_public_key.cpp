#include "envelope/mlkem_public_key.hpp"

#include <openssl/err.h>
#include <openssl/nid.h>

#include <vector>

#include "envelope/der.hpp"
#include "envelope/key_document.hpp"

namespace core_fips {
namespace {

constexpr MlKemParameterSet kMlKem768{NID_MLKEM768, 2, 3, 1184, 1088};
constexpr MlKemParameterSet kMlKem1024{NID_MLKEM1024, 3, 4, 1568, 1568};
constexpr const MlKemParameterSet* kParameterSets[] = {&kMlKem768, &kMlKem1024};

// The OID 2.16.840.1.101.3.4.4 (NIST's KEM arc) before its last arc, as DER content octets.
constexpr std::uint8_t kKemArc[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x04};
constexpr std::uint16_t kQ = 3329;
constexpr std::size_t kPolynomialOctets = 384;  // 256 coefficients of 12 bits

}  // namespace

std::optional<MlKemRawKey> read_mlkem_subject_public_key_info(ByteSpan document) {
  const std::optional<SubjectPublicKeyInfo> spki = read_subject_public_key_info(document);
  if (!spki || !spki->parameters.empty()) return std::nullopt;
  ByteCursor oid(spki->algorithm);
  if (!oid.skip_prefix(ByteSpan(kKemArc)) || oid.size() != 1) return std::nullopt;
  for (const MlKemParameterSet* set : kParameterSets) {
    if (oid.peek() == set->oid_last_arc && spki->key.size() == set->key_length) {
      return MlKemRawKey{set, spki->key};
    }
  }
  return std::nullopt;
}

bool coefficients_below_q(const MlKemRawKey& raw) {
  ByteCursor in(raw.key.first(kPolynomialOctets * raw.set->rank));
  // Three octets hold two coefficients, low bits first.
  while (const std::optional<ByteSpan> three = in.get_bytes(3)) {
    const auto b = *three;
    const std::uint16_t low = static_cast<std::uint16_t>(b[0] | (b[1] & 0x0F) << 8);
    const std::uint16_t high = static_cast<std::uint16_t>(b[1] >> 4 | b[2] << 4);
    if (low >= kQ || high >= kQ) return false;
  }
  return true;
}

Result<MlKemEncapsulationKey> parse_mlkem_public_key_pem(std::span<const std::uint8_t> input) {
  Result<WipedBytes> document = read_key_document(input, ascii("PUBLIC KEY"));
  if (!document) return std::move(document).error();
  const std::optional<MlKemRawKey> raw = read_mlkem_subject_public_key_info(document.value());
  if (!raw || !coefficients_below_q(*raw)) return CoreError::invalid_public_key();
  bssl::UniquePtr<EVP_PKEY> key(
      EVP_PKEY_kem_new_raw_public_key(raw->set->nid, raw->key.data(), raw->key.size()));
  if (!key) {
    // The refusal is reported as our own error; leave no library errors queued on this thread.
    ERR_clear_error();
    return CoreError::invalid_public_key();
  }
  return MlKemEncapsulationKey(std::move(key), *raw->set);
}

}  // namespace core_fips
