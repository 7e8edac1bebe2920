// Argument intake, driven by one ParameterSpec per callable: binding of positional and keyword
// arguments (fast calls and constructors alike), then conversion of each bound argument by its
// kind. Every failure sets the Python exception and returns false.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "python/byte_view.hpp"

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

// One callable's parameters. Built at compile time: a table that breaks the binder's limits does
// not compile, and the count is the table's own length.
struct ParameterSpec {
  const char* class_name;  // null for module functions
  const char* function_name;
  std::array<Parameter, kMaxParameters> parameters{};
  std::size_t count = 0;     // M
  std::size_t required = 0;  // N: the first N are required

  consteval ParameterSpec(const char* class_name_, const char* function_name_,
                          std::initializer_list<Parameter> parameters_, std::size_t required_)
      : class_name(class_name_),
        function_name(function_name_),
        count(parameters_.size()),
        required(required_) {
    if (parameters_.size() > kMaxParameters) throw "more parameters than the binder holds";
    if (required_ > parameters_.size()) throw "more required parameters than parameters";
    std::size_t i = 0;
    for (const Parameter& p : parameters_) parameters[i++] = p;
  }

  // "Class.function()" or "function()".
  std::string display_name() const;
};

// The binding and conversion machinery, shared by every callable; bodies read through Args<Spec>.
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

 protected:
  std::string_view text_at(std::size_t i) const { return std::get<std::string_view>(values_[i]); }
  std::optional<std::string_view> optional_text_at(std::size_t i) const;
  std::span<const std::uint8_t> byte_string_at(std::size_t i) const {
    return std::get<std::span<const std::uint8_t>>(values_[i]);
  }
  const ByteView& view_at(std::size_t i) const { return std::get<ByteView>(values_[i]); }

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

// The arguments of the callable whose table is `Spec`. A body reads parameter I as the kind the
// table declares for it: reading a position the table lacks, or as another kind, does not compile.
template <const ParameterSpec& Spec>
class Args : public Arguments {
 public:
  Args() : Arguments(Spec) {}

  template <std::size_t I>
  std::string_view text() const {
    check<I, ParameterKind::Text>();
    return text_at(I);
  }
  template <std::size_t I>
  std::optional<std::string_view> optional_text() const {
    check<I, ParameterKind::OptionalText>();
    return optional_text_at(I);
  }
  template <std::size_t I>
  std::span<const std::uint8_t> byte_string() const {
    check<I, ParameterKind::ByteString>();
    return byte_string_at(I);
  }
  template <std::size_t I>
  const ByteView& view() const {
    check<I, ParameterKind::ByteBuffer>();
    return view_at(I);
  }

 private:
  template <std::size_t I, ParameterKind Kind>
  static constexpr void check() {
    static_assert(I < Spec.count, "the callable's table has no parameter at this position");
    static_assert(Spec.parameters[I].kind == Kind, "the table declares another kind here");
  }
};

// Sets the type-mismatch TypeError: "'<type>' object is not an instance of '<target>'", or
// "'None' is not an instance of '<target>'".
void set_type_mismatch(PyObject* object, const char* target);

}  // namespace core_fips
