// Hasher: a salted SHA-384 token computed over content that arrives chunk by chunk.
#include "digest/salted_digest.hpp"
#include "python/entries.hpp"
#include "python/streaming.hpp"

namespace core_fips {

namespace {

constexpr ParameterSpec kNew{
    CallableKind::Constructor,
    "Hasher",
    "__new__",
    {{"salt", ParameterKind::OptionalText}},
    0,
    Lock::Held,
    "Incremental salted SHA-384 hasher for streaming uploads.\n\n"
    "Feed content with [`PyHasher::update`] one chunk at a time, then call\n"
    "[`PyHasher::finalize`] to obtain the content `Token`. The digest is identical to\n"
    "the one-shot `create_hash` / `Token.from_bytes` over the same bytes."};

constexpr ParameterSpec kUpdate{
    CallableKind::Method,
    "Hasher",
    "update",
    {{"chunk", ParameterKind::ContiguousBytes}},
    1,
    Lock::Released,
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
    "for the duration of the call."};

constexpr ParameterSpec kFinalize{
    CallableKind::Method,
    "Hasher",
    "finalize",
    {},
    0,
    Lock::Held,
    "Append the salt and finalize, returning the content `Token`. The hasher cannot\n"
    "be reused afterwards."};

SaltedDigest start(std::optional<std::string_view> salt) { return SaltedDigest(salt); }

PyObject* finish(SaltedDigest&& engine) { return new_token(std::move(engine).finish()); }

PyMethodDef methods[] = {
    method_def<kUpdate>(streaming_update<SaltedDigest, kUpdate>),
    method_def<kFinalize>(streaming_finalize<SaltedDigest, kFinalize, finish>),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDefinition hasher_class{"Hasher",
                                   kDocstring<kNew>.data(),
                                   static_cast<int>(sizeof(StreamingInstance<SaltedDigest>)),
                                   streaming_new<SaltedDigest, kNew, start>,
                                   methods,
                                   nullptr,
                                   release_instance<std::optional<SaltedDigest>>};

}  // namespace

TypeObjectCell hasher_cell(hasher_class);

}  // namespace core_fips
