// Argument intake, Argument Clinic's way: each callable is declared once, as a ParameterSpec. The
// declaration gives the binder its table, the docstring its text signature, and the body its C++
// parameters: one per table entry, of the type its kind names, in the table's order, checked when
// the entry is compiled. Binding and conversion failures set the Python exception.
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
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/boundary.hpp"
#include "python/byte_view.hpp"
#include "python/once.hpp"

namespace core_fips {

enum class ParameterKind {
  Text,          // str (or subclass): its UTF-8 bytes, borrowed
  OptionalText,  // None, omitted, or Text
  ByteString,    // bytes (or subclass): its own storage, borrowed
  ByteBuffer,    // any buffer of unsigned bytes: a ByteView
};

// What a body takes for each kind (Param), and what the binder keeps until the body has run (Slot).
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
template <>
struct KindTypes<ParameterKind::ByteBuffer> {
  using Param = const ByteView&;
  using Slot = std::optional<ByteView>;
};

struct Parameter {
  const char* name;
  ParameterKind kind;
};

// How the callable is reached: its text signature and its method flags follow from it.
enum class CallableKind {
  Function,      // a module function: name(args)
  StaticMethod,  // Class.name(args)
  Method,        // instance.name(args): name($self, args)
  Constructor,   // Class(args), declared as Class.__new__; its docstring is the class's
};

inline constexpr std::size_t kMaxParameters = 3;

// One callable's declaration. Built at compile time: a table that breaks the binder's limits does
// not compile, and the count is the table's own length.
struct ParameterSpec {
  CallableKind callable;
  const char* class_name;  // null for module functions
  const char* function_name;
  std::array<Parameter, kMaxParameters> parameters{};
  std::size_t count = 0;     // M
  std::size_t required = 0;  // N: the first N are required; the others default to None
  const char* doc;           // the docstring after its text signature

  consteval ParameterSpec(CallableKind callable_, const char* class_name_,
                          const char* function_name_, std::initializer_list<Parameter> parameters_,
                          std::size_t required_, const char* doc_ = "")
      : callable(callable_),
        class_name(class_name_),
        function_name(function_name_),
        count(parameters_.size()),
        required(required_),
        doc(doc_) {
    if (parameters_.size() > kMaxParameters) throw "more parameters than the binder holds";
    if (required_ > parameters_.size()) throw "more required parameters than parameters";
    if ((callable_ == CallableKind::Function) != (class_name_ == nullptr)) {
      throw "a module function has no class, everything else has one";
    }
    std::size_t i = 0;
    for (const Parameter& p : parameters_) {
      if (i >= required_ && p.kind != ParameterKind::OptionalText) {
        throw "an optional parameter must be OptionalText: its default is None";
      }
      parameters[i++] = p;
    }
  }

  // "Class.function()" or "function()".
  std::string display_name() const;
};

// The docstring of a declaration: its text signature in the form CPython reads back as
// __text_signature__ ("name($self, a, b=None)\n--\n\n"), then its doc.
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

// The binding machinery, shared by every callable: which object is bound to each parameter.
class Binding {
 public:
  // `interned` holds the table's names as interned strings, or is null when they could not be made.
  Binding(const ParameterSpec& spec, PyObject* const* interned)
      : spec_(spec), interned_(interned) {}
  Binding(const Binding&) = delete;
  Binding& operator=(const Binding&) = delete;

  // Binds a vectorcall-style argument list.
  bool bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
  // Binds a constructor's positional tuple and keyword dict (either may be null).
  bool bind(PyObject* args, PyObject* kwargs);

  // The object bound to parameter i (borrowed; the caller keeps it alive), or null when omitted.
  PyObject* bound(std::size_t i) const { return bound_[i]; }

 private:
  bool bind_positional(Py_ssize_t count);
  bool bind_keyword(PyObject* name, PyObject* value);
  bool bind_at(std::size_t i, PyObject* value);
  bool check_required();

  const ParameterSpec& spec_;
  PyObject* const* interned_;
  std::array<PyObject*, kMaxParameters> bound_{};
};

// The conversions, one per kind's Slot. Each sets the exception on failure.
bool convert_argument(PyObject* object, std::string_view& out);
bool convert_argument(PyObject* object, std::optional<std::string_view>& out);
bool convert_argument(PyObject* object, std::span<const std::uint8_t>& out);
bool convert_argument(PyObject* object, std::optional<ByteView>& out);
// Adds the note "while processing '<parameter>'" to the pending exception.
void add_parameter_note(const char* parameter);

// PyUnicode_InternFromString, one call at a time (see arguments.cpp).
PyObject* intern_name(const char* name);

// The interned names of a table, made once per process: a caller's keyword names are interned
// strings too, so binding compares addresses first. Null while they cannot be made.
template <const ParameterSpec& Spec>
PyObject* const* interned_names() {
  static constinit OnceGuard once;
  static constinit std::array<PyObject*, kMaxParameters> names{};
  const bool made = once.run([] {
    for (std::size_t i = 0; i < Spec.count; ++i) {
      names[i] = intern_name(Spec.parameters[i].name);
      if (!names[i]) {
        PyErr_Clear();  // binding then compares the text alone
        return false;
      }
    }
    return true;
  });
  return made ? names.data() : nullptr;
}

// The parameter types of a body: a function pointer or a lambda with declared parameter types.
template <class Body>
struct BodyParameters : BodyParameters<decltype(&Body::operator())> {};
template <class R, class... A>
struct BodyParameters<R (*)(A...)> {
  using type = std::tuple<A...>;
};
template <class R, class C, class... A>
struct BodyParameters<R (C::*)(A...) const> {
  using type = std::tuple<A...>;
};

// The table's types, as tuples: what the body takes, and what the binder keeps.
template <const ParameterSpec& Spec, std::size_t... I>
auto params_of(std::index_sequence<I...>)
    -> std::tuple<typename KindTypes<Spec.parameters[I].kind>::Param...>;
template <const ParameterSpec& Spec, std::size_t... I>
auto slots_of(std::index_sequence<I...>)
    -> std::tuple<typename KindTypes<Spec.parameters[I].kind>::Slot...>;
template <const ParameterSpec& Spec>
using TableParams = decltype(params_of<Spec>(std::make_index_sequence<Spec.count>{}));
template <const ParameterSpec& Spec>
using TableSlots = decltype(slots_of<Spec>(std::make_index_sequence<Spec.count>{}));

// The arguments of one call of the callable declared by `Spec`: bind, convert, then call the body
// with them.
template <const ParameterSpec& Spec>
class Args {
 public:
  Args() : binding_(Spec, interned_names<Spec>()) {}

  bool bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return binding_.bind(args, nargsf, kwnames);
  }
  bool bind(PyObject* args, PyObject* kwargs) { return binding_.bind(args, kwargs); }

  // Converts the bound arguments in declaration order; the first failure keeps its exception and
  // gets the note "while processing '<name>'". Views taken before it are released with the Args,
  // at the end of the call, with the lock held.
  bool convert() {
    return [&]<std::size_t... I>(std::index_sequence<I...>) { return (convert_at<I>() && ...); }
    (std::make_index_sequence<Spec.count>{});
  }

  // Calls `body` with the converted arguments.
  template <class Body>
  decltype(auto) call(Body&& body) {
    static_assert(
        std::is_same_v<typename BodyParameters<std::decay_t<Body>>::type, TableParams<Spec>>,
        "the body's parameters must be the table's types, in the table's order");
    return [&]<std::size_t... I>(std::index_sequence<I...>)->decltype(auto) {
      return body(pass(std::get<I>(slots_))...);
    }
    (std::make_index_sequence<Spec.count>{});
  }

 private:
  template <std::size_t I>
  bool convert_at() {
    PyObject* object = binding_.bound(I);
    if constexpr (Spec.parameters[I].kind == ParameterKind::OptionalText) {
      if (object == nullptr || object == Py_None) return true;  // absent
    }
    if (convert_argument(object, std::get<I>(slots_))) return true;
    add_parameter_note(Spec.parameters[I].name);
    return false;
  }

  template <class Slot>
  static const Slot& pass(const Slot& slot) {
    return slot;
  }
  static const ByteView& pass(const std::optional<ByteView>& view) { return *view; }

  Binding binding_;
  TableSlots<Spec> slots_;
};

// The entries CPython calls for a declaration whose body needs nothing but its arguments.
template <const ParameterSpec& Spec, auto Body>
PyObject* fastcall_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call_boundary([&]() -> PyObject* {
    Args<Spec> a;
    if (!a.bind(args, nargsf, kwnames) || !a.convert()) return nullptr;
    return a.call(Body);
  });
}
template <const ParameterSpec& Spec, auto Body>
PyObject* noargs_entry(PyObject*, PyObject*) {
  static_assert(std::is_same_v<typename BodyParameters<decltype(Body)>::type, std::tuple<>>,
                "a callable without parameters has a body without parameters");
  return call_boundary([]() -> PyObject* { return Body(); });
}

// A method-table row for a declaration and the entry that serves it.
using FastcallEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template <const ParameterSpec& Spec>
PyMethodDef method_def(FastcallEntry entry) {
  static_assert(Spec.callable != CallableKind::Constructor && Spec.count > 0);
  constexpr int kStatic = Spec.callable == CallableKind::Method ? 0 : METH_STATIC;
  return {Spec.function_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
          METH_FASTCALL | METH_KEYWORDS | kStatic, kDocstring<Spec>.data()};
}
template <const ParameterSpec& Spec>
PyMethodDef method_def(PyCFunction entry) {
  static_assert(Spec.callable != CallableKind::Constructor && Spec.count == 0);
  constexpr int kStatic = Spec.callable == CallableKind::Method ? 0 : METH_STATIC;
  return {Spec.function_name, entry, METH_NOARGS | kStatic, kDocstring<Spec>.data()};
}
// The row of a declaration served by its body alone.
template <const ParameterSpec& Spec, auto Body>
PyMethodDef method_def() {
  if constexpr (Spec.count == 0) {
    return method_def<Spec>(noargs_entry<Spec, Body>);
  } else {
    return method_def<Spec>(fastcall_entry<Spec, Body>);
  }
}

// Sets the type-mismatch TypeError: "'<type>' object is not an instance of '<target>'", or
// "'None' is not an instance of '<target>'".
void set_type_mismatch(PyObject* object, const char* target);

}  // namespace core_fips
