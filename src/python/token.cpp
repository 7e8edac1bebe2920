// The Token class: the Python value of a salted digest, with read-only `sha` and `salt`, and the
// static methods from_bytes and compare_token.
#include <cstring>

#include "errors/internal_fault.hpp"
#include "errors/surface_texts.hpp"
#include "python/compat.hpp"
#include "python/entries.hpp"
#include "python/entry_points.hpp"

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
      return py::ascii_text(token->payload.sha_text());
    }
    const std::string& salt = token->payload.salt;
    return PyUnicode_DecodeUTF8(salt.data(), static_cast<Py_ssize_t>(salt.size()), "strict");
  });
}

constexpr ParameterSpec kFromBytes{
    CallableKind::StaticMethod,
    "Token",
    "from_bytes",
    {{"data", ParameterKind::ContiguousBytes}, {"salt", ParameterKind::OptionalText}},
    1,
    Lock::Released};
constexpr ParameterSpec kCompareToken{CallableKind::StaticMethod,
                                      "Token",
                                      "compare_token",
                                      {{"sha", ParameterKind::Text},
                                       {"salt", ParameterKind::Text},
                                       {"data", ParameterKind::ContiguousBytes}},
                                      3,
                                      Lock::Released};

// A mismatch is ValueError.
PyObject* none_or_error(Status&& outcome) {
  if (!outcome.ok()) {
    set_python_error(std::move(outcome).error());
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef token_methods[] = {
    method_def<kFromBytes, Released<hash_content, new_token>{}>(),
    method_def<kCompareToken, Released<check_content, none_or_error>{}>(),
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
    throw InternalFault(surface::kTypeObjectFailed);
  }
  return new_instance(type, std::move(value));
}

}  // namespace core_fips
