// The discipline shared by the two streaming classes: an open engine that update() feeds with the
// lock released and finalize() takes out, both under exclusive access to the object.
#pragma once

#include <Python.h>

#include <optional>
#include <utility>

#include "python/arguments.hpp"
#include "python/boundary.hpp"
#include "python/entry_points.hpp"
#include "python/types.hpp"

namespace core_fips {

// Engine: SaltedDigest or DigestVerifier. The object is finalized exactly when the engine is gone.
template <class Engine>
using StreamingInstance = Instance<std::optional<Engine>>;

// "<Class> already finalized".
template <const ParameterSpec& Spec>
void set_already_finalized() {
  PyErr_Format(PyExc_ValueError, "%s already finalized", Spec.class_name);
}

// Constructor: the engine is made by `Make` from the converted arguments (lock held).
template <class Engine, const ParameterSpec& Spec, auto Make>
PyObject* streaming_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_boundary([&]() -> PyObject* {
    Args<Spec> a;
    if (!a.bind(args, kwargs) || !a.convert()) return nullptr;
    return new_instance(type, std::optional<Engine>(a.call(Make)));
  });
}

// update(chunk)'s work and finish.
template <class Engine>
void feed(Engine& engine, ContiguousBytes chunk) {
  engine.update(chunk.bytes());
}
template <class Engine>
PyObject* fed(Engine&) {
  Py_RETURN_NONE;
}

// update(chunk): exclusive access, then the chunk, then the finalized test, then contiguity and the
// work, with the lock released.
template <class Engine, const ParameterSpec& Spec>
PyObject* streaming_update(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
  static_assert(Spec.lock == Lock::Released);
  return call_boundary([&]() -> PyObject* {
    Args<Spec> a;
    if (!a.bind(args, nargsf, kwnames)) return nullptr;
    auto* instance = StreamingInstance<Engine>::from(self);
    ExclusiveAccess access(instance->borrow);
    if (!access || !a.convert()) return nullptr;
    if (!instance->payload) {
      set_already_finalized<Spec>();
      return nullptr;
    }
    return a.template run<feed<Engine>, fed<Engine>>(*instance->payload);
  });
}

// finalize(): takes the engine out whatever happens next and hands it to `Finish`, which runs with
// the lock held and returns the Python result.
template <class Engine, const ParameterSpec& Spec, PyObject* (*Finish)(Engine&&)>
PyObject* streaming_finalize(PyObject* self, PyObject*) {
  static_assert(Spec.count == 0);
  return call_boundary([&]() -> PyObject* {
    auto* instance = StreamingInstance<Engine>::from(self);
    ExclusiveAccess access(instance->borrow);
    if (!access) return nullptr;
    std::optional<Engine> engine = std::exchange(instance->payload, std::nullopt);
    if (!engine) {
      set_already_finalized<Spec>();
      return nullptr;
    }
    return Finish(std::move(*engine));
  });
}

}  // namespace core_fips
