#include "python/parameter_spec.hpp"

namespace core_fips {

std::string ParameterSpec::display_name() const {
  std::string name;
  if (class_name) {
    name += class_name;
    name += '.';
  }
  name += function_name;
  name += "()";
  return name;
}

}  // namespace core_fips
