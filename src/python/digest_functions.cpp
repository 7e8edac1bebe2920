// The module functions create_hash and compare_hash, and the one-shot bodies they share with
// Token.from_bytes and Token.compare_token.
#include "python/arguments.hpp"
#include "python/entries.hpp"

namespace core_fips {

namespace {

constexpr ParameterSpec kCreateHash{
    CallableKind::Function,
    nullptr,
    "create_hash",
    {{"bytes", ParameterKind::ByteBuffer}, {"salt", ParameterKind::OptionalText}},
    2};
constexpr ParameterSpec kCompareHash{CallableKind::Function,
                                     nullptr,
                                     "compare_hash",
                                     {{"sha", ParameterKind::Text},
                                      {"salt", ParameterKind::Text},
                                      {"bytes", ParameterKind::ByteBuffer}},
                                     3};

PyObject* compare_hash(std::string_view sha, std::string_view salt, const ByteView& content) {
  std::optional<Status> outcome = check_content(sha, salt, content);
  if (!outcome) return nullptr;
  return PyBool_FromLong(outcome->ok());  // a mismatch is the answer False, never an error
}

}  // namespace

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

PyMethodDef create_hash_def = method_def<kCreateHash, hash_content>();
PyMethodDef compare_hash_def = method_def<kCompareHash, compare_hash>();

}  // namespace core_fips
