// VerifyingHasher: content that arrives chunk by chunk, checked against a stored token.
#include "digest/salted_digest.hpp"
#include "python/entries.hpp"
#include "python/streaming.hpp"

namespace core_fips {

namespace {

constexpr ParameterSpec kNew{
    CallableKind::Constructor,
    "VerifyingHasher",
    "__new__",
    {{"expected_sha", ParameterKind::Text}, {"salt", ParameterKind::Text}},
    2,
    Lock::Held,
    "Incremental verifier for a streamed download against an expected salted SHA-384.\n\n"
    "Feed content with [`PyVerifyingHasher::update`], then call\n"
    "[`PyVerifyingHasher::finalize`], which raises `ValueError` on a mismatch."};

constexpr ParameterSpec kUpdate{
    CallableKind::Method,
    "VerifyingHasher",
    "update",
    {{"chunk", ParameterKind::ContiguousBytes}},
    1,
    Lock::Released,
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
    "ensuring the backing bytes are stable for the duration of the call."};

constexpr ParameterSpec kFinalize{
    CallableKind::Method,
    "VerifyingHasher",
    "finalize",
    {},
    0,
    Lock::Held,
    "Append the salt, finalize, and verify. Raises `ValueError` if the digest does\n"
    "not match the expected value. The verifier cannot be reused afterwards."};

DigestVerifier start(std::string_view expected_sha, std::string_view salt) {
  return DigestVerifier(expected_sha, salt);
}

PyObject* finish(DigestVerifier&& engine) {
  Status outcome = std::move(engine).verify();
  if (!outcome.ok()) {
    set_python_error(std::move(outcome).error());
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    method_def<kUpdate>(streaming_update<DigestVerifier, kUpdate>),
    method_def<kFinalize>(streaming_finalize<DigestVerifier, kFinalize, finish>),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDefinition verifying_hasher_class{
    "VerifyingHasher",
    kDocstring<kNew>.data(),
    static_cast<int>(sizeof(StreamingInstance<DigestVerifier>)),
    streaming_new<DigestVerifier, kNew, start>,
    methods,
    nullptr,
    release_instance<std::optional<DigestVerifier>>};

}  // namespace

TypeObjectCell verifying_hasher_cell(verifying_hasher_class);

}  // namespace core_fips
