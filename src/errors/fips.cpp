#include "errors/fips.hpp"

#include <openssl/crypto.h>

#include "module/boundary.hpp"
#include "module/once.hpp"

namespace core_fips {

namespace {

OnceGuard library_init;

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

void ensure_library_initialised() {
  library_init.run([] {
    CRYPTO_library_init();
    return true;
  });
}

Status fips_self_attest() {
  ensure_library_initialised();
  if (FIPS_mode() == 1) return Done{};
  return CoreError::fips_self_attest_failed();
}

PyMethodDef fips_check_def = {"fips_check", fips_check, METH_NOARGS | METH_STATIC, kFipsCheckDoc};

}  // namespace core_fips
