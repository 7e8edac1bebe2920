// libFuzzer target: arbitrary bytes through both public-key intakes, RSA and ML-KEM. Every input
// must end in a usable key or in one of the two refusals, without touching memory it does not own
// and without leaving anything allocated behind. An accepted key must also be the key the
// library's own readers find in the same bytes, so a reader that decodes a valid key into a
// different valid key crashes here instead of passing; and a key the library reads within our
// rules must not be refused.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/bytestring.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/mem.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "envelope/base64.hpp"
#include "envelope/byte_cursor.hpp"
#include "envelope/der.hpp"
#include "envelope/mlkem_envelope.hpp"
#include "envelope/mlkem_public_key.hpp"
#include "envelope/pem.hpp"
#include "envelope/rsa_public_key.hpp"

namespace {

using core_fips::ByteSpan;

[[noreturn]] void disagree(const char* what) {
  std::fprintf(stderr, "key intake oracle: %s\n", what);
  std::abort();
}

using RsaPtr = bssl::UniquePtr<RSA>;
using PkeyPtr = bssl::UniquePtr<EVP_PKEY>;

bool same_key(const RSA* a, const RSA* b) {
  return BN_cmp(RSA_get0_n(a), RSA_get0_n(b)) == 0 && BN_cmp(RSA_get0_e(a), RSA_get0_e(b)) == 0;
}

// The DER document inside the input as our PEM and Base64 readers see it, when the block is one
// we would read at all.
std::optional<std::vector<std::uint8_t>> our_document(ByteSpan input,
                                                      const char* label = "RSA PUBLIC KEY") {
  const std::optional<core_fips::PemBlock> block = core_fips::read_pem_block(input);
  if (!block || !core_fips::same_bytes(block->label, core_fips::ascii(label))) {
    return std::nullopt;
  }
  const std::optional<core_fips::WipedBytes> document = core_fips::decode_pem_base64(block->body);
  if (!document) return std::nullopt;
  return std::vector<std::uint8_t>(document->begin(), document->end());
}

// AWS-LC's strict PKCS #1 reader over the whole document.
RsaPtr library_pkcs1(const std::vector<std::uint8_t>& document) {
  CBS cbs;
  CBS_init(&cbs, document.data(), document.size());
  RsaPtr rsa(RSA_parse_public_key(&cbs));
  if (CBS_len(&cbs) != 0) rsa.reset();
  ERR_clear_error();
  return rsa;
}

// AWS-LC's PEM reader over the raw input. No pass phrase: it must never prompt.
RsaPtr library_pem(ByteSpan input) {
  bssl::UniquePtr<BIO> bio(BIO_new_mem_buf(input.data(), static_cast<long>(input.size())));
  if (!bio) disagree("BIO_new_mem_buf failed");
  RsaPtr rsa(PEM_read_bio_RSAPublicKey(
      bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr));
  ERR_clear_error();
  return rsa;
}

// The library's SubjectPublicKeyInfo for the key, in DER.
std::vector<std::uint8_t> library_spki(RSA* rsa) {
  PkeyPtr key(EVP_PKEY_new());
  bssl::ScopedCBB cbb;
  std::uint8_t* bytes = nullptr;
  std::size_t length = 0;
  if (!key || !EVP_PKEY_set1_RSA(key.get(), rsa) || !CBB_init(cbb.get(), 0)) {
    disagree("library setup failed");
  }
  if (!EVP_marshal_public_key(cbb.get(), key.get()) || !CBB_finish(cbb.get(), &bytes, &length)) {
    disagree("the library cannot encode a key it read");
  }
  const bssl::UniquePtr<std::uint8_t> owned(bytes);
  return std::vector<std::uint8_t>(bytes, bytes + length);
}

// The key rules and the size rule, judged on the library's numbers.
bool within_key_rules(const RSA* rsa) {
  const BIGNUM* n = RSA_get0_n(rsa);
  const BIGNUM* e = RSA_get0_e(rsa);
  const unsigned n_bits = BN_num_bits(n);
  const unsigned e_bits = BN_num_bits(e);
  return n_bits >= 2048 && n_bits <= 4096 && BN_is_odd(n) && BN_is_odd(e) && e_bits >= 2 &&
         e_bits <= 33 && BN_cmp(e, n) < 0;
}

void check_accepted(ByteSpan input, const core_fips::RsaEncryptionKey& key) {
  // The key rules cap the modulus at 4096 bits, the size rule starts at 2048.
  if (EVP_PKEY_id(key.get()) != EVP_PKEY_RSA || key.bits() < 2048 || key.bits() > 4096 ||
      key.size() * 8 < key.bits()) {
    disagree("accepted key outside the size rule");
  }
  const RSA* ours = EVP_PKEY_get0_RSA(key.get());

  const std::optional<std::vector<std::uint8_t>> document = our_document(input);
  if (!document) disagree("accepted input our own framing refuses");
  const RsaPtr pkcs1 = library_pkcs1(*document);
  if (!pkcs1) disagree("RSA_parse_public_key refuses the body we accepted");
  if (!same_key(ours, pkcs1.get())) disagree("RSA_parse_public_key reads another key");

  // The library's PEM reader refuses lone CR breaks and an empty line before the END line, both
  // of which we take; where it reads, it must agree.
  if (const RsaPtr pem = library_pem(input); pem && !same_key(ours, pem.get())) {
    disagree("PEM_read_bio_RSAPublicKey reads another key");
  }

  // Our re-encoding is the library's own, byte for byte. Reading it back is no check here: the
  // key was loaded from these very bytes, and the library ignores the algorithm's parameters.
  const std::optional<core_fips::RsaPublicComponents> components =
      core_fips::read_rsa_public_key(*document);
  if (!components) disagree("accepted body our DER reader refuses");
  if (core_fips::encode_subject_public_key_info(*components) != library_spki(pkcs1.get())) {
    disagree("our SubjectPublicKeyInfo differs from the library's");
  }
}

// A refused input whose block we frame and whose body the library reads as a key within our
// rules is a key we wrongly turned away.
void check_refused(ByteSpan input) {
  const std::optional<std::vector<std::uint8_t>> document = our_document(input);
  if (!document) return;
  const RsaPtr pkcs1 = library_pkcs1(*document);
  if (pkcs1 && within_key_rules(pkcs1.get())) {
    disagree("refused a key RSA_parse_public_key reads within the key rules");
  }
}

// ML-KEM: the library's SubjectPublicKeyInfo reader, as a key of ML-KEM-768 or -1024 whose
// encoding is the document itself (so canonical DER without unused bits), or none.
PkeyPtr library_mlkem(const std::vector<std::uint8_t>& document) {
  CBS cbs;
  CBS_init(&cbs, document.data(), document.size());
  PkeyPtr key(EVP_parse_public_key(&cbs));
  ERR_clear_error();
  if (!key || CBS_len(&cbs) != 0 || EVP_PKEY_id(key.get()) != EVP_PKEY_KEM) return nullptr;
  const int nid = EVP_PKEY_kem_get_type(key.get());
  ERR_clear_error();
  if (nid != NID_MLKEM768 && nid != NID_MLKEM1024) return nullptr;
  bssl::ScopedCBB cbb;
  std::uint8_t* bytes = nullptr;
  std::size_t length = 0;
  if (!CBB_init(cbb.get(), 0) || !EVP_marshal_public_key(cbb.get(), key.get()) ||
      !CBB_finish(cbb.get(), &bytes, &length)) {
    disagree("the library cannot encode an ML-KEM key it read");
  }
  const bssl::UniquePtr<std::uint8_t> owned(bytes);
  if (std::vector<std::uint8_t>(bytes, bytes + length) != document) return nullptr;
  return key;
}

// The library's own verdict on a key it read: an encapsulation runs (FIPS 203's modulus check
// inside it refuses a coefficient not below q).
bool library_encapsulates(EVP_PKEY* key) {
  bssl::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
  std::vector<std::uint8_t> ciphertext(1568);
  core_fips::SecretBuffer<core_fips::kContentKeyLength> secret;
  std::size_t ciphertext_length = ciphertext.size(), secret_length = secret.size();
  const bool ok = ctx && EVP_PKEY_encapsulate(ctx.get(), ciphertext.data(), &ciphertext_length,
                                              secret.data(), &secret_length) == 1;
  ERR_clear_error();
  return ok;
}

void check_mlkem(ByteSpan input) {
  using core_fips::CoreError;
  core_fips::Result<core_fips::MlKemEncapsulationKey> result =
      core_fips::parse_mlkem_public_key_pem(input);
  const std::optional<std::vector<std::uint8_t>> document = our_document(input, "PUBLIC KEY");
  if (result.ok()) {
    if (!document) disagree("accepted ML-KEM input our own framing refuses");
    const PkeyPtr theirs = library_mlkem(*document);
    if (!theirs) disagree("accepted an ML-KEM key the library does not read as this document");
    if (EVP_PKEY_kem_get_type(theirs.get()) != result.value().parameter_set().nid) {
      disagree("the library reads another ML-KEM parameter set");
    }
    if (!library_encapsulates(theirs.get())) disagree("accepted a key the library cannot use");
    core_fips::Result<core_fips::MlKemEnvelopeSealer> sealer =
        core_fips::MlKemEnvelopeSealer::prepare(input);
    if (!sealer.ok()) disagree("the sealer refuses an accepted key");
    const std::uint8_t plaintext[3] = {1, 2, 3};
    std::vector<std::uint8_t> out(sealer.value().output_length(sizeof plaintext));
    if (!std::move(sealer).value().seal_into(plaintext, out).ok()) {
      disagree("an accepted key does not seal");
    }
    return;
  }
  const CoreError& error = result.error();
  if (error.kind() == CoreError::Kind::Utf8) {
    if (error.utf8_failure().valid_up_to >= input.size()) disagree("UTF-8 refusal past the input");
    return;
  }
  if (error.kind() != CoreError::Kind::InvalidPublicKey) disagree("ML-KEM refusal of another kind");
  if (!document) return;
  if (const PkeyPtr theirs = library_mlkem(*document);
      theirs && library_encapsulates(theirs.get())) {
    disagree("refused an ML-KEM key the library reads and uses");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using core_fips::CoreError;
  const ByteSpan input(data, size);
  check_mlkem(input);
  core_fips::Result<core_fips::RsaEncryptionKey> result =
      core_fips::parse_rsa_public_key_pem(input);
  if (result.ok()) {
    check_accepted(input, result.value());
    return 0;
  }
  const CoreError& error = result.error();
  if (error.kind() == CoreError::Kind::Utf8) {
    if (error.utf8_failure().valid_up_to >= size) disagree("UTF-8 refusal past the input");
  } else if (error.kind() == CoreError::Kind::InvalidPublicKey) {
    check_refused(input);
  } else {
    disagree("refusal of an unexpected kind");
  }
  return 0;
}
