#include "python/digest_functions.hpp"

#include "python/token.hpp"

namespace core_fips {

namespace {

constexpr ParameterSpec kCreateHashSpec{
    nullptr,
    "create_hash",
    {{"bytes", ParameterKind::ByteBuffer}, {"salt", ParameterKind::OptionalText}},
    2};
constexpr ParameterSpec kCompareHashSpec{nullptr,
                                         "compare_hash",
                                         {{"sha", ParameterKind::Text},
                                          {"salt", ParameterKind::Text},
                                          {"bytes", ParameterKind::ByteBuffer}},
                                         3};

PyObject* create_hash(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call_boundary([&]() -> PyObject* {
    Args<kCreateHashSpec> a;
    if (!a.bind(args, nargsf, kwnames)) return nullptr;
    return hash_content(a);
  });
}

PyObject* compare_hash(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call_boundary([&]() -> PyObject* {
    Args<kCompareHashSpec> a;
    if (!a.bind(args, nargsf, kwnames)) return nullptr;
    std::optional<Status> outcome = check_content(a);
    if (!outcome) return nullptr;
    return PyBool_FromLong(outcome->ok());  // a mismatch is the answer False, never an error
  });
}

}  // namespace

PyMethodDef create_hash_def = {
    "create_hash", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(create_hash)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "create_hash(bytes, salt)\n--\n\n"};
PyMethodDef compare_hash_def = {
    "compare_hash", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compare_hash)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "compare_hash(sha, salt, bytes)\n--\n\n"};

}  // namespace core_fips
