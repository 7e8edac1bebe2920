// The module function encrypt(public_key_pem, plaintext).
#include "envelope/envelope.hpp"
#include "python/entries.hpp"
#include "python/entry_points.hpp"

namespace core_fips {

namespace {

constexpr ParameterSpec kEncrypt{
    CallableKind::Function,
    nullptr,
    "encrypt",
    {{"public_key_pem", ParameterKind::ByteString}, {"plaintext", ParameterKind::ByteString}},
    2,
    Lock::Released};

// The result object is the output buffer: the envelope is sealed straight into it, so the
// plaintext is never copied and no second plaintext-sized buffer exists. nullopt: the result
// could not be made (its exception is set).
std::optional<Status> seal(ResultBytes& result, std::span<const std::uint8_t> pem,
                           std::span<const std::uint8_t> plaintext) {
  Result<EnvelopeSealer> sealer = EnvelopeSealer::prepare(pem);
  if (!sealer) return Status(std::move(sealer).error());
  std::optional<std::span<std::uint8_t>> out =
      result.reserve(sealer.value().output_length(plaintext.size()));
  if (!out) return std::nullopt;
  return std::move(sealer).value().seal_into(plaintext, *out);
}

PyObject* finish(std::optional<Status>&& sealed, ResultBytes& result) {
  if (!sealed) return nullptr;
  if (!sealed->ok()) {
    set_python_error(std::move(*sealed).error());
    return nullptr;
  }
  return result.release();
}

}  // namespace

PyMethodDef encrypt_def = method_def<kEncrypt, Released<seal, finish>{}>();

}  // namespace core_fips
