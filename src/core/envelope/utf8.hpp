// Strict UTF-8 validation (RFC 3629) that reports the first failure the way the error texts
// expect: the length of the valid prefix and the length of the bad sequence.
#pragma once

#include <optional>

#include "envelope/byte_cursor.hpp"
#include "errors/core_error.hpp"

namespace core_fips {

// None when `bytes` are valid UTF-8. Otherwise `valid_up_to` is the offset of the first bad
// sequence and `error_len` the number of bytes (1 to 3) that can be skipped before decoding could
// resume; `error_len` is absent when the input ends inside a sequence that was valid so far.
std::optional<CoreError::Utf8Failure> find_utf8_error(ByteSpan bytes);

}  // namespace core_fips
