#include "python/token.hpp"

#include <cstring>

#include "errors/internal_fault.hpp"
#include "python/compat.hpp"
#include "python/python_error.hpp"

namespace core_fips {

namespace {

using TokenInstance = Instance<TokenValue>;

enum class TokenField { Sha, Salt };
constexpr TokenField kShaField = TokenField::Sha;
constexpr TokenField kSaltField = TokenField::Salt;

PyObject* get_field(PyObject* self, void* closure) {
  return call_boundary([&]() -> PyObject* {
    auto* token = TokenInstance::from(self);
    SharedAccess access(token->borrow);
    if (!access) return nullptr;
    if (*static_cast<const TokenField*>(closure) == TokenField::Sha) {
      // Always 96 ASCII hex digits: no decoding to do.
      const std::string_view sha = token->payload.sha_text();
      return py::ascii_text(sha);
    }
    const std::string& salt = token->payload.salt;
    return PyUnicode_DecodeUTF8(salt.data(), static_cast<Py_ssize_t>(salt.size()), "strict");
  });
}

constexpr ParameterSpec kFromBytesSpec{
    "Token",
    "from_bytes",
    {{"data", ParameterKind::ByteBuffer}, {"salt", ParameterKind::OptionalText}},
    1};
constexpr ParameterSpec kCompareTokenSpec{"Token",
                                          "compare_token",
                                          {{"sha", ParameterKind::Text},
                                           {"salt", ParameterKind::Text},
                                           {"data", ParameterKind::ByteBuffer}},
                                          3};

PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call_boundary([&]() -> PyObject* {
    Args<kFromBytesSpec> a;
    if (!a.bind(args, nargsf, kwnames)) return nullptr;
    return hash_content(a);
  });
}

PyObject* compare_token(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call_boundary([&]() -> PyObject* {
    Args<kCompareTokenSpec> a;
    if (!a.bind(args, nargsf, kwnames)) return nullptr;
    std::optional<Status> outcome = check_content(a);
    if (!outcome) return nullptr;
    if (!outcome->ok()) {
      set_python_error(std::move(*outcome).error());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef token_methods[] = {
    {"from_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_bytes)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_bytes(data, salt=None)\n--\n\n"},
    {"compare_token", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compare_token)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "compare_token(sha, salt, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef token_getset[] = {
    {"sha", get_field, nullptr, nullptr, const_cast<TokenField*>(&kShaField)},
    {"salt", get_field, nullptr, nullptr, const_cast<TokenField*>(&kSaltField)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassDefinition token_class{"Token",
                                  "",
                                  static_cast<int>(sizeof(TokenInstance)),
                                  nullptr,
                                  token_methods,
                                  token_getset,
                                  release_instance<TokenValue>};

}  // namespace

TypeObjectCell token_cell(token_class);

PyObject* new_token(TokenValue value) {
  PyTypeObject* type = get_type(token_cell);
  if (!type) {
    PyErr_WriteUnraisable(nullptr);
    throw InternalFault("failed to create type object for `Token`");
  }
  return new_instance(type, std::move(value));
}

PyObject* hash_content(const ByteView& content, std::optional<std::string_view> salt) {
  if (!require_c_contiguous(content)) return nullptr;
  TokenValue token = run_unlocked([&] { return salted_token(content.bytes(), salt); });
  return new_token(std::move(token));
}

std::optional<Status> check_content(std::string_view expected, std::string_view salt,
                                    const ByteView& content) {
  if (!require_c_contiguous(content)) return std::nullopt;
  return run_unlocked([&] { return verify_salted(expected, salt, content.bytes()); });
}

}  // namespace core_fips
