// The discipline shared by the two streaming classes: an open engine that update() feeds with the
// lock released and finalize() takes out, both under exclusive access to the object.
#pragma once

#include <Python.h>

#include <optional>
#include <utility>

#include "python/arguments.hpp"
#include "python/boundary.hpp"
#include "python/types.hpp"

namespace core_fips {

// Engine: SaltedDigest or DigestVerifier. The object is finalized exactly when the engine is gone.
template <class Engine>
using StreamingInstance = Instance<std::optional<Engine>>;

// Both update() methods take one parameter: (chunk).
enum UpdateParameter : std::size_t { kChunk };

// update(chunk): exclusive access, then the chunk, then the finalized test, then contiguity.
template <class Engine, const ParameterSpec& Spec>
PyObject* streaming_update(const char* finalized_text, PyObject* self, PyObject* const* args,
                           Py_ssize_t nargsf, PyObject* kwnames) {
  return call_boundary([&]() -> PyObject* {
    Args<Spec> a;
    if (!a.bind(args, nargsf, kwnames)) return nullptr;
    auto* instance = StreamingInstance<Engine>::from(self);
    ExclusiveAccess access(instance->borrow);
    if (!access || !a.convert()) return nullptr;
    if (!instance->payload) {
      PyErr_SetString(PyExc_ValueError, finalized_text);
      return nullptr;
    }
    const ByteView& chunk = a.template view<kChunk>();
    if (!require_c_contiguous(chunk)) return nullptr;
    Engine& engine = *instance->payload;
    run_unlocked([&] { engine.update(chunk.bytes()); });
    Py_RETURN_NONE;
  });
}

// finalize(): takes the engine out whatever happens next and hands it to `finish`, which runs with
// the lock held and returns the Python result.
template <class Engine, class Finish>
PyObject* streaming_finalize(const char* finalized_text, PyObject* self, Finish&& finish) {
  return call_boundary([&]() -> PyObject* {
    auto* instance = StreamingInstance<Engine>::from(self);
    ExclusiveAccess access(instance->borrow);
    if (!access) return nullptr;
    std::optional<Engine> engine = std::exchange(instance->payload, std::nullopt);
    if (!engine) {
      PyErr_SetString(PyExc_ValueError, finalized_text);
      return nullptr;
    }
    return finish(std::move(*engine));
  });
}

// Constructor: binds and converts, then `make` builds the engine from the Args<Spec> (lock held).
template <class Engine, const ParameterSpec& Spec, class Make>
PyObject* streaming_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, Make&& make) {
  return call_boundary([&]() -> PyObject* {
    Args<Spec> a;
    if (!a.bind(args, kwargs) || !a.convert()) return nullptr;
    return new_instance(type, std::optional<Engine>(make(a)));
  });
}

}  // namespace core_fips
