#include "python/verifying_hasher.hpp"

#include "digest/salted_digest.hpp"
#include "python/python_error.hpp"
#include "python/streaming.hpp"

namespace core_fips {

namespace {

constexpr const char* kFinalized = "VerifyingHasher already finalized";

constexpr const char* kClassDoc =
    "VerifyingHasher(expected_sha, salt)\n--\n\n"
    "Incremental verifier for a streamed download against an expected salted SHA-384.\n\n"
    "Feed content with [`PyVerifyingHasher::update`], then call\n"
    "[`PyVerifyingHasher::finalize`], which raises `ValueError` on a mismatch.";

constexpr const char* kUpdateDoc =
    "update($self, chunk)\n--\n\n"
    "Feed the next chunk of content. Accepts any C-contiguous buffer-protocol\n"
    "object and releases the GIL while hashing the bytes in place. As with the\n"
    "standard library's `hashlib.update()`, the bytes must not change while this\n"
    "call is in flight; immutable inputs such as `bytes` are inherently safe.\n\n"
    "This applies to *any* concurrent mutation of the underlying storage, not just\n"
    "mutation from another Python thread. For a memory-mapped input (`mmap`), the\n"
    "bytes are backed by a file on disk: if another writer \u2014 a separate thread, a\n"
    "separate process, or a truncation/resize of that file \u2014 mutates it while the\n"
    "GIL is released, the verifier hashes the changed bytes and will typically fail\n"
    "finalization (and a resize/truncate may fault). The caller is responsible for\n"
    "ensuring the backing bytes are stable for the duration of the call.";

constexpr const char* kFinalizeDoc =
    "finalize($self)\n--\n\n"
    "Append the salt, finalize, and verify. Raises `ValueError` if the digest does\n"
    "not match the expected value. The verifier cannot be reused afterwards.";

enum NewParameter : std::size_t { kExpectedSha, kSalt };
constexpr ParameterSpec kNewSpec{
    "VerifyingHasher",
    "__new__",
    {{"expected_sha", ParameterKind::Text}, {"salt", ParameterKind::Text}},
    2};
constexpr ParameterSpec kUpdateSpec{
    "VerifyingHasher", "update", {{"chunk", ParameterKind::ByteBuffer}}, 1};

PyObject* verifier_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return streaming_new<DigestVerifier, kNewSpec>(type, args, kwargs, [](const auto& a) {
    return DigestVerifier(a.template text<kExpectedSha>(), a.template text<kSalt>());
  });
}

PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return streaming_update<DigestVerifier, kUpdateSpec>(kFinalized, self, args, nargsf, kwnames);
}

PyObject* finalize(PyObject* self, PyObject*) {
  return streaming_finalize<DigestVerifier>(kFinalized, self,
                                            [](DigestVerifier&& engine) -> PyObject* {
                                              Status outcome = std::move(engine).verify();
                                              if (!outcome.ok()) {
                                                set_python_error(std::move(outcome).error());
                                                return nullptr;
                                              }
                                              Py_RETURN_NONE;
                                            });
}

PyMethodDef methods[] = {
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update)),
     METH_FASTCALL | METH_KEYWORDS, kUpdateDoc},
    {"finalize", finalize, METH_NOARGS, kFinalizeDoc},
    {nullptr, nullptr, 0, nullptr},
};

const ClassDefinition verifying_hasher_class{
    "VerifyingHasher",
    kClassDoc,
    static_cast<int>(sizeof(StreamingInstance<DigestVerifier>)),
    verifier_new,
    methods,
    nullptr,
    release_instance<std::optional<DigestVerifier>>};

}  // namespace

TypeObjectCell verifying_hasher_cell(verifying_hasher_class);

}  // namespace core_fips
