// InternalFault: a condition the module treats as impossible (the library refusing a digest step,
// the random source failing). It is thrown, never returned, and contained at the Python boundary,
// where it becomes PanicException. Its text is composed as context, ": ", cause.
#pragma once

#include <stdexcept>
#include <string>

namespace core_fips {

class InternalFault : public std::runtime_error {
 public:
  explicit InternalFault(const std::string& text) : std::runtime_error(text) {}
  InternalFault(const std::string& context, const std::string& cause)
      : std::runtime_error(context + ": " + cause) {}
};

// Test builds can make a named fault point fire, to prove containment; in the product this is
// an empty inline function.
#if defined(CORE_FIPS_FAULT_INJECTION)
bool fault_injected(const char* point);
#else
inline constexpr bool fault_injected(const char*) { return false; }
#endif

}  // namespace core_fips
