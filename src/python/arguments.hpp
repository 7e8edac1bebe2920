// Args: the arguments of one call of a declared callable. Binds them, converts them in declaration
// order, then hands them to the body: with the lock held, or, for a declaration whose work runs
// with the lock released, to the work with the lock released and its result to the finish with
// the lock held. The body's parameter types and order are checked against the table when the
// entry is compiled. Failures set the Python exception.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/conversions.hpp"
#include "python/parameter_spec.hpp"

namespace core_fips {

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

  // A declaration whose work keeps the lock (it takes no buffer): calls `body` with the arguments.
  template <class Body>
  decltype(auto) call(Body&& body) {
    static_assert(Spec.lock == Lock::Held, "this declaration's work runs with the lock released");
    static_assert(!kHasBuffer, "work on a buffer runs with the lock released");
    static_assert(
        std::is_same_v<typename BodyParameters<std::decay_t<Body>>::type, TableParams<Spec>>,
        "the body's parameters must be the table's types, in the table's order");
    return std::apply(body, *params(std::make_index_sequence<Spec.count>{}));
  }

  // A declaration whose work runs with the lock released: once every buffer is found C-contiguous
  // (in declaration order; the first that is not ends the call, without a note), runs
  // Work(extra..., arguments...) with the lock released, then returns Finish(its result, extra...)
  // with the lock held. `extra` is what the entry gives the work besides the arguments (a
  // streaming engine, the result object to fill); never a Python object.
  template <auto Work, auto Finish, class... Extra>
  PyObject* run(Extra&... extra) {
    static_assert(Spec.lock == Lock::Released, "this declaration's work keeps the lock");
    using Extras = std::tuple<Extra&...>;
    static_assert(std::is_same_v<typename BodyParameters<decltype(Work)>::type,
                                 decltype(std::tuple_cat(std::declval<Extras>(),
                                                         std::declval<TableParams<Spec>>()))>,
                  "the work's parameters must be the entry's extras, then the table's types");
    std::optional<TableParams<Spec>> p = params(std::make_index_sequence<Spec.count>{});
    if (!p) return nullptr;
    auto all = std::tuple_cat(Extras(extra...), std::move(*p));
    PyThreadState** publish = nullptr;  // an extra that takes the lock back names its slot
    ((publish = publish ? publish : state_slot_of(extra)), ...);
    if constexpr (std::is_void_v<decltype(std::apply(Work, all))>) {
      run_unlocked([&] { std::apply(Work, all); }, publish);
      return std::apply(Finish, Extras(extra...));
    } else {
      return std::apply(Finish, std::tuple_cat(std::forward_as_tuple(run_unlocked(
                                                   [&] { return std::apply(Work, all); }, publish)),
                                               Extras(extra...)));
    }
  }

 private:
  template <class E>
  static PyThreadState** state_slot_of(E& e) {
    if constexpr (requires { e.state_slot(); }) {
      return e.state_slot();
    } else {
      return nullptr;
    }
  }

  static constexpr bool kHasBuffer = [] {
    for (std::size_t i = 0; i < Spec.count; ++i) {
      if (Spec.parameters[i].kind == ParameterKind::ContiguousBytes) return true;
    }
    return false;
  }();

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

  // The body's value of every parameter; nullopt (exception set) when a buffer is not
  // C-contiguous.
  template <std::size_t... I>
  std::optional<TableParams<Spec>> params(std::index_sequence<I...>) {
    std::tuple<std::optional<typename KindTypes<Spec.parameters[I].kind>::Param>...> p;
    if (!(fill<I>(std::get<I>(p)) && ...)) return std::nullopt;
    return TableParams<Spec>(std::move(*std::get<I>(p))...);
  }

  template <std::size_t I, class Param>
  bool fill(std::optional<Param>& out) {
    if constexpr (Spec.parameters[I].kind == ParameterKind::ContiguousBytes) {
      out = ContiguousBytes::of(*std::get<I>(slots_));
      return out.has_value();
    } else {
      out.emplace(std::get<I>(slots_));
      return true;
    }
  }

  Binding binding_;
  TableSlots<Spec> slots_;
};

}  // namespace core_fips
