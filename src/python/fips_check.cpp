// The module function fips_check().
#include "errors/fips.hpp"
#include "python/entries.hpp"
#include "python/entry_points.hpp"

namespace core_fips {

namespace {

constexpr ParameterSpec kFipsCheck{
    CallableKind::Function,
    nullptr,
    "fips_check",
    {},
    0,
    Lock::Held,
    "Returns True when this wheel was built with the `corvel-fips` feature\n"
    "AND the AWS-LC-FIPS module is currently active. False otherwise."};

PyObject* fips_check() {
  if (fips_self_attest().ok()) Py_RETURN_TRUE;
  Py_RETURN_FALSE;
}

}  // namespace

PyMethodDef fips_check_def = method_def<kFipsCheck, fips_check>();

}  // namespace core_fips
