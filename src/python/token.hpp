// The Token class: the Python value of a salted digest, with read-only `sha` and `salt`.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string_view>

#include "digest/salted_digest.hpp"
#include "python/arguments.hpp"
#include "python/types.hpp"

namespace core_fips {

extern TypeObjectCell token_cell;

// A new Token object; an unfillable cell is an internal fault.
PyObject* new_token(TokenValue value);

// The shared bodies of the one-shot entries, after conversion: check contiguity, run the engine
// with the lock released. Every such entry declares (content, salt) ...
enum HashParameter : std::size_t { kHashContent, kHashSalt };
PyObject* hash_content(const ByteView& content, std::optional<std::string_view> salt);
// ... or (sha, salt, content); the outcome, or nullopt with a Python exception set.
enum CheckParameter : std::size_t { kCheckSha, kCheckSalt, kCheckContent };
std::optional<Status> check_content(std::string_view expected, std::string_view salt,
                                    const ByteView& content);

// `Entry` is the entry's Args<Spec>; taken as a type so that the spec is deduced by every compiler
// the wheels are built with.
template <class Entry>
PyObject* hash_content(Entry& args) {
  if (!args.convert()) return nullptr;
  return hash_content(args.template view<kHashContent>(), args.template optional_text<kHashSalt>());
}

template <class Entry>
std::optional<Status> check_content(Entry& args) {
  if (!args.convert()) return std::nullopt;
  return check_content(args.template text<kCheckSha>(), args.template text<kCheckSalt>(),
                       args.template view<kCheckContent>());
}

}  // namespace core_fips
