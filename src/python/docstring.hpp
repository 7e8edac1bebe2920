// The docstring of a declaration: its text signature in the form CPython reads back as
// __text_signature__ ("name($self, a, b=None)\n--\n\n"), then its doc, rendered at compile time.
#pragma once

#include <array>
#include <cstddef>

#include "python/parameter_spec.hpp"

namespace core_fips {

namespace docstring {

constexpr std::size_t length_of(const char* s) {
  std::size_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

// Calls `put` with each piece of the docstring, in order.
template <class Put>
constexpr void pieces(const ParameterSpec& s, Put&& put) {
  put(s.callable == CallableKind::Constructor ? s.class_name : s.function_name);
  put("(");
  if (s.callable == CallableKind::Method) put(s.count > 0 ? "$self, " : "$self");
  for (std::size_t i = 0; i < s.count; ++i) {
    if (i > 0) put(", ");
    put(s.parameters[i].name);
    if (i >= s.required) put("=None");
  }
  put(")\n--\n\n");
  put(s.doc);
}

consteval std::size_t length(const ParameterSpec& s) {
  std::size_t n = 0;
  pieces(s, [&](const char* piece) { n += length_of(piece); });
  return n;
}

template <std::size_t N>
consteval std::array<char, N + 1> render(const ParameterSpec& s) {
  std::array<char, N + 1> out{};
  std::size_t at = 0;
  pieces(s, [&](const char* piece) {
    for (std::size_t i = 0; piece[i] != '\0'; ++i) out[at++] = piece[i];
  });
  return out;
}

}  // namespace docstring

template <const ParameterSpec& Spec>
inline constexpr auto kDocstring = docstring::render<docstring::length(Spec)>(Spec);

}  // namespace core_fips
