// Argument intake, driven by one ParameterSpec per callable: binding of positional and keyword
// arguments (fast calls and constructors alike), then conversion of each bound argument by its
// kind. Every failure sets the Python exception and returns false.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "module/byte_view.hpp"

namespace core_fips {

enum class ParameterKind {
  Text,          // str (or subclass): its UTF-8 bytes, borrowed
  OptionalText,  // None, omitted, or Text
  ByteString,    // bytes (or subclass): its own storage, borrowed
  ByteBuffer,    // any buffer of unsigned bytes: a ByteView
};

struct Parameter {
  const char* name;
  ParameterKind kind;
};

inline constexpr std::size_t kMaxParameters = 3;

struct ParameterSpec {
  const char* class_name;  // null for module functions
  const char* function_name;
  std::array<Parameter, kMaxParameters> parameters;
  std::size_t count;     // M
  std::size_t required;  // N: the first N are required

  // "Class.function()" or "function()".
  std::string display_name() const;
};

class Arguments {
 public:
  explicit Arguments(const ParameterSpec& spec) : spec_(spec) {}
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  // Binds a vectorcall-style argument list.
  bool bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
  // Binds a constructor's positional tuple and keyword dict (either may be null).
  bool bind(PyObject* args, PyObject* kwargs);
  // Converts the bound arguments in declaration order; the first failure keeps its exception and
  // gets the note "while processing '<name>'". Views taken before it are released with the
  // Arguments, at the end of the call.
  bool convert();

  std::string_view text(std::size_t i) const { return std::get<std::string_view>(values_[i]); }
  std::optional<std::string_view> optional_text(std::size_t i) const;
  std::span<const std::uint8_t> byte_string(std::size_t i) const {
    return std::get<std::span<const std::uint8_t>>(values_[i]);
  }
  const ByteView& view(std::size_t i) const { return std::get<ByteView>(values_[i]); }

 private:
  bool bind_positional(Py_ssize_t count);
  bool bind_keyword(PyObject* name, PyObject* value);
  bool check_required();
  bool convert_one(std::size_t i);

  const ParameterSpec& spec_;
  std::array<PyObject*, kMaxParameters> bound_{};  // borrowed; the caller keeps them alive
  std::array<
      std::variant<std::monostate, std::string_view, std::span<const std::uint8_t>, ByteView>,
      kMaxParameters>
      values_;
};

// Sets the type-mismatch TypeError: "'<type>' object is not an instance of '<target>'", or
// "'None' is not an instance of '<target>'".
void set_type_mismatch(PyObject* object, const char* target);

}  // namespace core_fips
