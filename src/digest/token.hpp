// The Token class: the Python value of a salted digest, with read-only `sha` and `salt`.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string_view>

#include "digest/salted_digest.hpp"
#include "module/arguments.hpp"
#include "module/types.hpp"

namespace core_fips {

extern TypeObjectCell token_cell;

// A new Token object; an unfillable cell is an internal fault.
PyObject* new_token(TokenValue value);

// The shared bodies of the one-shot entries, after binding: convert, check contiguity, run the
// engine with the lock released. Every such entry declares (content, salt) ...
PyObject* hash_content(Arguments& args);
// ... or (sha, salt, content). Returns the verification outcome, or nullopt with a Python
// exception set.
std::optional<Status> check_content(Arguments& args);

}  // namespace core_fips
