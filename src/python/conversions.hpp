// The conversion of each parameter kind: what the binder keeps until the work has run (Slot), what
// a body or work takes (Param), and the conversion of a bound object into its slot.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "python/byte_view.hpp"
#include "python/parameter_spec.hpp"

namespace core_fips {

template <ParameterKind K>
struct KindTypes;
template <>
struct KindTypes<ParameterKind::Text> {
  using Param = std::string_view;
  using Slot = std::string_view;
};
template <>
struct KindTypes<ParameterKind::OptionalText> {
  using Param = std::optional<std::string_view>;
  using Slot = std::optional<std::string_view>;
};
template <>
struct KindTypes<ParameterKind::ByteString> {
  using Param = std::span<const std::uint8_t>;
  using Slot = std::span<const std::uint8_t>;
};
// Taken as a view when converted; its contiguity is checked once every argument is converted
// (and the callable's own checks have run), just before the work.
template <>
struct KindTypes<ParameterKind::ContiguousBytes> {
  using Param = ContiguousBytes;
  using Slot = std::optional<ByteView>;
};

// One per kind's Slot. Each sets the exception on failure.
bool convert_argument(PyObject* object, std::string_view& out);
bool convert_argument(PyObject* object, std::optional<std::string_view>& out);
bool convert_argument(PyObject* object, std::span<const std::uint8_t>& out);
bool convert_argument(PyObject* object, std::optional<ByteView>& out);
// Adds the note "while processing '<parameter>'" to the pending exception.
void add_parameter_note(const char* parameter);

// Sets the type-mismatch TypeError: "'<type>' object is not an instance of '<target>'", or
// "'None' is not an instance of '<target>'".
void set_type_mismatch(PyObject* object, const char* target);

}  // namespace core_fips
