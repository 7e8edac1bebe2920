#include "python/hasher.hpp"

#include "digest/salted_digest.hpp"
#include "python/streaming.hpp"
#include "python/token.hpp"

namespace core_fips {

namespace {

constexpr const char* kFinalized = "Hasher already finalized";

constexpr const char* kClassDoc =
    "Hasher(salt=None)\n--\n\n"
    "Incremental salted SHA-384 hasher for streaming uploads.\n\n"
    "Feed content with [`PyHasher::update`] one chunk at a time, then call\n"
    "[`PyHasher::finalize`] to obtain the content `Token`. The digest is identical to\n"
    "the one-shot `create_hash` / `Token.from_bytes` over the same bytes.";

constexpr const char* kUpdateDoc =
    "update($self, chunk)\n--\n\n"
    "Feed the next chunk of content. Accepts any C-contiguous buffer-protocol\n"
    "object (`bytes`, `bytearray`, `memoryview`, `mmap`, ...) and releases the GIL\n"
    "while hashing the bytes in place. As with the standard library's\n"
    "`hashlib.update()`, the bytes must not change while this call is in flight;\n"
    "immutable inputs such as `bytes` are inherently safe.\n\n"
    "This applies to *any* concurrent mutation of the underlying storage, not just\n"
    "mutation from another Python thread. For a memory-mapped input (`mmap`), the\n"
    "bytes are backed by a file on disk: if another writer \u2014 a separate thread, a\n"
    "separate process, or a truncation/resize of that file \u2014 mutates it while the\n"
    "GIL is released, the hasher reads the changed bytes and produces a digest that\n"
    "matches neither the original nor the final file contents (and a resize/truncate\n"
    "may fault). The caller is responsible for ensuring the backing bytes are stable\n"
    "for the duration of the call.";

constexpr const char* kFinalizeDoc =
    "finalize($self)\n--\n\n"
    "Append the salt and finalize, returning the content `Token`. The hasher cannot\n"
    "be reused afterwards.";

enum NewParameter : std::size_t { kSalt };
constexpr ParameterSpec kNewSpec{"Hasher", "__new__", {{"salt", ParameterKind::OptionalText}}, 0};
constexpr ParameterSpec kUpdateSpec{"Hasher", "update", {{"chunk", ParameterKind::ByteBuffer}}, 1};

PyObject* hasher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return streaming_new<SaltedDigest, kNewSpec>(type, args, kwargs, [](const auto& a) {
    return SaltedDigest(a.template optional_text<kSalt>());
  });
}

PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return streaming_update<SaltedDigest, kUpdateSpec>(kFinalized, self, args, nargsf, kwnames);
}

PyObject* finalize(PyObject* self, PyObject*) {
  return streaming_finalize<SaltedDigest>(kFinalized, self, [](SaltedDigest&& engine) {
    return new_token(std::move(engine).finish());
  });
}

PyMethodDef methods[] = {
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update)),
     METH_FASTCALL | METH_KEYWORDS, kUpdateDoc},
    {"finalize", finalize, METH_NOARGS, kFinalizeDoc},
    {nullptr, nullptr, 0, nullptr},
};

const ClassDefinition hasher_class{"Hasher",
                                   kClassDoc,
                                   static_cast<int>(sizeof(StreamingInstance<SaltedDigest>)),
                                   hasher_new,
                                   methods,
                                   nullptr,
                                   release_instance<std::optional<SaltedDigest>>};

}  // namespace

TypeObjectCell hasher_cell(hasher_class);

}  // namespace core_fips
