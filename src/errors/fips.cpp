#include "errors/fips.hpp"

#include <openssl/crypto.h>

namespace core_fips {

Status fips_self_attest() {
  // Runs at most once per process behind the library's own once-guard; its waiters never wait on
  // the interpreter.
  CRYPTO_library_init();
  if (FIPS_mode() == 1) return Done{};
  return CoreError::fips_self_attest_failed();
}

}  // namespace core_fips
