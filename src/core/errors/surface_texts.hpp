// The texts of the module's surface that read like another runtime's messages: a Rust program's
// (Result::unwrap, its error crates' Display texts, the trailing " \n" included) and those of its
// Python bridge (borrow checks, panic bridge, type and buffer errors). Callers match on them as
// they are, so every one is kept verbatim, character for character, odd spacing and all: do not
// "fix" them. They are gathered here, on the lowest floor that uses any of them (the native code
// composes the error texts; src/python may include src/core, never the reverse).
#pragma once

namespace core_fips::surface {

// CoreError display texts (errors/core_error.cpp); a detail text goes between prefix and end.
inline constexpr char kSerdeErrorPrefix[] = "Serde error: ";
inline constexpr char kGenericErrorPrefix[] = "Generic error: ";
inline constexpr char kDisplayEnd[] = " \n";  // ends the Serde and Generic texts
inline constexpr char kUtf8InvalidSequence[] = "UTF8 error: invalid utf-8 sequence of ";
inline constexpr char kUtf8BytesFromIndex[] = " bytes from index ";
inline constexpr char kUtf8Incomplete[] = "UTF8 error: incomplete utf-8 byte sequence from index ";
inline constexpr char kFipsSelfAttestFailed[] =
    "System FIPS mode is not configured correctly. Rust FIPS self-attest failed.";
// The detail of a mismatching token: "Generic error: Token mismatch \n".
inline constexpr char kTokenMismatch[] = "Token mismatch";

// Internal faults, raised as PanicException with the text "<context>: <cause>".
inline constexpr char kUnwrapOnErr[] = "called `Result::unwrap()` on an `Err` value";
inline constexpr char kDigestUpdateFailed[] = "digest update failed";
inline constexpr char kDigestFinalFailed[] = "EVP_DigestFinal failed";
inline constexpr char kUnspecified[] = "Unspecified";  // every library failure without detail
inline constexpr char kNoRandomForUuid[] = "could not retrieve random bytes for uuid";
inline constexpr char kUnexpectedSituation[] = "unexpected situation";
inline constexpr char kTypeObjectFailed[] = "failed to create type object for `Token`";
inline constexpr char kAllAppendFailed[] = "could not append __name__ to __all__";

// The panic bridge (python/boundary.cpp).
inline constexpr char kPanicExceptionName[] = "_core_fips_runtime.PanicException";
inline constexpr char kPanicExceptionDoc[] =
    "Raised when native code called from Python hits an unrecoverable fault.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it typically\n"
    "propagates all the way up and ends the interpreter.";
inline constexpr char kPanicWithoutMessage[] = "native code panicked without a message";
inline constexpr char kUncaughtPanic[] = "uncaught panic at ffi boundary";  // then abort
inline constexpr char kNoExceptionSet[] = "attempted to fetch exception but none was set";

// Conversion and access errors of the binding; the formats take PyErr_Format's arguments.
inline constexpr char kNotAnInstance[] = "'%U' object is not an instance of '%s'";
inline constexpr char kNoneNotAnInstance[] = "'None' is not an instance of '%s'";
inline constexpr char kUnnamedNotAnInstance[] =
    "'<failed to extract type name>' object is not an instance of '%s'";
inline constexpr char kAlreadyBorrowed[] = "Already borrowed";                 // python/borrow.hpp
inline constexpr char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";  // python/borrow.hpp
inline constexpr char kShapeIsNull[] = "shape is null";      // python/byte_view.cpp
inline constexpr char kStridesIsNull[] = "strides is null";  // python/byte_view.cpp
inline constexpr char kNotU8[] =
    "buffer contents are not compatible with u8";  // python/byte_view.cpp
inline constexpr char kClassInitFailed[] =
    "An error occurred while initializing class %s";  // python/types.cpp

}  // namespace core_fips::surface
