// The module function encrypt(public_key_pem, plaintext).
#include "envelope/envelope.hpp"
#include "python/entries.hpp"
#include "python/entry_points.hpp"
#include "python/envelope_entry.hpp"

namespace core_fips {

namespace {

constexpr ParameterSpec kEncrypt = envelope_function("encrypt");

}  // namespace

PyMethodDef encrypt_def =
    method_def<kEncrypt, Released<seal_envelope_into_result<EnvelopeSealer>, finish_envelope>{}>();

}  // namespace core_fips
