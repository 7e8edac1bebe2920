// The module function encrypt_mlkem(public_key_pem, plaintext): encrypt's discipline, with an
// ML-KEM key (envelope/mlkem_envelope.hpp).
#include "envelope/mlkem_envelope.hpp"
#include "python/entries.hpp"
#include "python/entry_points.hpp"
#include "python/envelope_entry.hpp"

namespace core_fips {

namespace {

constexpr ParameterSpec kEncryptMlKem = envelope_function("encrypt_mlkem");

}  // namespace

PyMethodDef encrypt_mlkem_def =
    method_def<kEncryptMlKem,
               Released<seal_envelope_into_result<MlKemEnvelopeSealer>, finish_envelope>{}>();

}  // namespace core_fips
