// The module functions create_hash and compare_hash, and the one-shot work and finishes they
// share with Token.from_bytes and Token.compare_token.
#include "python/entries.hpp"
#include "python/entry_points.hpp"

namespace core_fips {

namespace {

constexpr ParameterSpec kCreateHash{
    CallableKind::Function,
    nullptr,
    "create_hash",
    {{"bytes", ParameterKind::ContiguousBytes}, {"salt", ParameterKind::OptionalText}},
    2,
    Lock::Released};
constexpr ParameterSpec kCompareHash{CallableKind::Function,
                                     nullptr,
                                     "compare_hash",
                                     {{"sha", ParameterKind::Text},
                                      {"salt", ParameterKind::Text},
                                      {"bytes", ParameterKind::ContiguousBytes}},
                                     3,
                                     Lock::Released};

PyObject* as_bool(Status&& outcome) {
  return PyBool_FromLong(outcome.ok());  // a mismatch is the answer False, never an error
}

}  // namespace

TokenValue hash_content(ContiguousBytes content, std::optional<std::string_view> salt) {
  return salted_token(content.bytes(), salt);
}

Status check_content(std::string_view expected, std::string_view salt, ContiguousBytes content) {
  return verify_salted(expected, salt, content.bytes());
}

PyMethodDef create_hash_def = method_def<kCreateHash, Released<hash_content, new_token>{}>();
PyMethodDef compare_hash_def = method_def<kCompareHash, Released<check_content, as_bool>{}>();

}  // namespace core_fips
