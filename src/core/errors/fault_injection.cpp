// Fault-injection builds only: a fault point fires when its name is listed in
// CORE_FIPS_INJECT_FAULT (comma-separated), so tests can prove that every internal fault is
// contained. In the product the points are constant false (errors/internal_fault.hpp).
#include <cstdlib>
#include <string_view>

#include "errors/internal_fault.hpp"

#if defined(CORE_FIPS_FAULT_INJECTION)

namespace core_fips {

bool fault_injected(const char* point) {
  const char* list = std::getenv("CORE_FIPS_INJECT_FAULT");
  if (!list) return false;
  std::string_view rest(list);
  const std::string_view wanted(point);
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    if (rest.substr(0, comma) == wanted) return true;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace core_fips

#endif  // CORE_FIPS_FAULT_INJECTION
