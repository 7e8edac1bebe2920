// The module function encrypt(public_key_pem, plaintext).
#include "envelope/envelope.hpp"
#include "python/arguments.hpp"
#include "python/compat.hpp"
#include "python/entries.hpp"
#include "python/pyref.hpp"

namespace core_fips {

namespace {

constexpr ParameterSpec kEncrypt{
    CallableKind::Function,
    nullptr,
    "encrypt",
    {{"public_key_pem", ParameterKind::ByteString}, {"plaintext", ParameterKind::ByteString}},
    2};

PyObject* encrypt(std::span<const std::uint8_t> pem, std::span<const std::uint8_t> plaintext) {
  Result<EnvelopeSealer> sealer = run_unlocked([&] { return EnvelopeSealer::prepare(pem); });
  if (!sealer) {
    set_python_error(std::move(sealer).error());
    return nullptr;
  }
  // The result object is the output buffer: the envelope is sealed straight into it, so the
  // plaintext is never copied and no second plaintext-sized buffer exists.
  const std::size_t length = sealer.value().output_length(plaintext.size());
  PyRef result = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
  if (!result) return nullptr;
  std::span<std::uint8_t> out(reinterpret_cast<std::uint8_t*>(py::bytes_data(result.get())),
                              length);
  Status sealed = run_unlocked([&] { return std::move(sealer).value().seal_into(plaintext, out); });
  if (!sealed) {
    set_python_error(std::move(sealed).error());
    return nullptr;
  }
  return result.release();
}

}  // namespace

PyMethodDef encrypt_def = method_def<kEncrypt, encrypt>();

}  // namespace core_fips
