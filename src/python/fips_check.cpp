#include "python/fips_check.hpp"

#include "errors/fips.hpp"
#include "python/boundary.hpp"

namespace core_fips {

namespace {

constexpr const char* kFipsCheckDoc =
    "fips_check()\n--\n\n"
    "Returns True when this wheel was built with the `corvel-fips` feature\n"
    "AND the AWS-LC-FIPS module is currently active. False otherwise.";

PyObject* fips_check(PyObject*, PyObject*) {
  return call_boundary([]() -> PyObject* {
    if (fips_self_attest().ok()) Py_RETURN_TRUE;
    Py_RETURN_FALSE;
  });
}

}  // namespace

PyMethodDef fips_check_def = {"fips_check", fips_check, METH_NOARGS | METH_STATIC, kFipsCheckDoc};

}  // namespace core_fips
