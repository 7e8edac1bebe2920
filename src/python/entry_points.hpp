// The entries CPython calls for a declaration, and the method-table rows that name them. A
// declaration's body is a plain function when its work keeps the lock, and Released<Work, Finish>
// when the work runs with the lock released; which one must match the declaration's Lock.
#pragma once

#include <Python.h>

#include <tuple>
#include <type_traits>

#include "python/arguments.hpp"
#include "python/boundary.hpp"
#include "python/docstring.hpp"
#include "python/parameter_spec.hpp"
#include "python/result_bytes.hpp"

namespace core_fips {

// Work takes the table's types (after a ResultBytes& when it fills the result in place) and runs
// with the lock released; Finish takes its result (and the ResultBytes) with the lock held.
template <auto Work, auto Finish>
struct Released {
  static constexpr auto kWork = Work;
  static constexpr auto kFinish = Finish;
};

template <class Body>
inline constexpr bool kIsReleased = requires {
  Body::kWork;
};

namespace detail {

template <const ParameterSpec& Spec, class Body>
PyObject* run_released(Args<Spec>& a) {
  using WorkParams = typename BodyParameters<std::remove_cv_t<decltype(Body::kWork)>>::type;
  if constexpr (std::tuple_size_v < WorkParams >> Spec.count) {
    ResultBytes result;
    return a.template run<Body::kWork, Body::kFinish>(result);
  } else {
    return a.template run<Body::kWork, Body::kFinish>();
  }
}

}  // namespace detail

template <const ParameterSpec& Spec, auto Body>
PyObject* fastcall_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static_assert(kIsReleased<std::remove_cv_t<decltype(Body)>> == (Spec.lock == Lock::Released),
                "a declaration that releases the lock is served by Released<Work, Finish>");
  return call_boundary([&]() -> PyObject* {
    Args<Spec> a;
    if (!a.bind(args, nargsf, kwnames) || !a.convert()) return nullptr;
    if constexpr (kIsReleased<std::remove_cv_t<decltype(Body)>>) {
      return detail::run_released<Spec, std::remove_cv_t<decltype(Body)>>(a);
    } else {
      return a.call(Body);
    }
  });
}
template <const ParameterSpec& Spec, auto Body>
PyObject* noargs_entry(PyObject*, PyObject*) {
  static_assert(Spec.lock == Lock::Held, "a callable without parameters keeps the lock");
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

}  // namespace core_fips
