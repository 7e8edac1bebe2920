// ParameterSpec: one callable's declaration, Argument Clinic's way. It gives the binder its table,
// the docstring its text signature, the body its C++ parameters (checked when the entry is
// compiled), and says whether the callable's work runs with the interpreter lock released.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>

namespace core_fips {

enum class ParameterKind {
  Text,             // str (or subclass): its UTF-8 bytes, borrowed
  OptionalText,     // None, omitted, or Text
  ByteString,       // bytes (or subclass): its own storage, borrowed
  ContiguousBytes,  // any buffer of unsigned bytes; C-contiguity is checked before the work
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

// Where the callable's work runs. Released: other threads run meanwhile, so the work is given
// only native values, and the entry takes the lock back before the result is made.
enum class Lock { Held, Released };

inline constexpr std::size_t kMaxParameters = 3;

// Built at compile time: a table that breaks the binder's limits does not compile, and the count
// is the table's own length.
struct ParameterSpec {
  CallableKind callable;
  const char* class_name;  // null for module functions
  const char* function_name;
  std::array<Parameter, kMaxParameters> parameters{};
  std::size_t count = 0;     // M
  std::size_t required = 0;  // N: the first N are required; the others default to None
  Lock lock;
  const char* doc;  // the docstring after its text signature

  consteval ParameterSpec(CallableKind callable_, const char* class_name_,
                          const char* function_name_, std::initializer_list<Parameter> parameters_,
                          std::size_t required_, Lock lock_, const char* doc_ = "")
      : callable(callable_),
        class_name(class_name_),
        function_name(function_name_),
        count(parameters_.size()),
        required(required_),
        lock(lock_),
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

}  // namespace core_fips
