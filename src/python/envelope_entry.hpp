// The work and finish shared by the envelope functions (encrypt.cpp, encrypt_mlkem.cpp): a sealer
// (EnvelopeSealer, MlKemEnvelopeSealer) prepared from the key, then the envelope sealed straight
// into the result object.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "errors/result.hpp"
#include "python/boundary.hpp"
#include "python/parameter_spec.hpp"
#include "python/result_bytes.hpp"

namespace core_fips {

// The declaration of an envelope function, the same for each but the name: two required `bytes`
// parameters, by position or keyword, the work done with the lock released.
consteval ParameterSpec envelope_function(const char* name) {
  return ParameterSpec{
      CallableKind::Function,
      nullptr,
      name,
      {{"public_key_pem", ParameterKind::ByteString}, {"plaintext", ParameterKind::ByteString}},
      2,
      Lock::Released};
}

// Lock released. The result object is the output buffer, so the plaintext is never copied and no
// second plaintext-sized buffer exists. nullopt: the result could not be made (its exception is
// set).
template <class Sealer>
std::optional<Status> seal_envelope_into_result(ResultBytes& result,
                                                std::span<const std::uint8_t> pem,
                                                std::span<const std::uint8_t> plaintext) {
  Result<Sealer> sealer = Sealer::prepare(pem);
  if (!sealer) return Status(std::move(sealer).error());
  std::optional<std::span<std::uint8_t>> out =
      result.reserve(sealer.value().output_length(plaintext.size()));
  if (!out) return std::nullopt;
  return std::move(sealer).value().seal_into(plaintext, *out);
}

// Lock held: the envelope, or the exception of what stopped it.
inline PyObject* finish_envelope(std::optional<Status>&& sealed, ResultBytes& result) {
  if (!sealed) return nullptr;
  if (!sealed->ok()) {
    set_python_error(std::move(*sealed).error());
    return nullptr;
  }
  return result.release();
}

}  // namespace core_fips
