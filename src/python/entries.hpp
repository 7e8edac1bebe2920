// What the module exposes: everything module.cpp registers, each defined in the file named beside
// it, and the few pieces those files share.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "digest/salted_digest.hpp"
#include "python/byte_view.hpp"
#include "python/types.hpp"

namespace core_fips {

// The classes, in registration order.
extern TypeObjectCell token_cell;             // token.cpp
extern TypeObjectCell hasher_cell;            // hasher.cpp
extern TypeObjectCell verifying_hasher_cell;  // verifying_hasher.cpp

// The module functions, in registration order.
extern PyMethodDef create_hash_def;   // digest_functions.cpp
extern PyMethodDef compare_hash_def;  // digest_functions.cpp
extern PyMethodDef encrypt_def;       // encrypt.cpp
extern PyMethodDef fips_check_def;    // fips_check.cpp
// Additions, registered after them and kept out of __all__, the module's fixed surface.
extern PyMethodDef encrypt_mlkem_def;  // encrypt_mlkem.cpp

// A new Token object (token.cpp); an unfillable type cell is an internal fault.
PyObject* new_token(TokenValue value);

// The one-shot digest work and finish (digest_functions.cpp), shared by the module functions and
// Token's static methods. create_hash and Token.from_bytes: the token (then new_token).
TokenValue hash_content(ContiguousBytes content, std::optional<std::string_view> salt);
// compare_hash and Token.compare_token: the outcome of the comparison.
Status check_content(std::string_view expected, std::string_view salt, ContiguousBytes content);

}  // namespace core_fips
