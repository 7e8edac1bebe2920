#include "python/result_bytes.hpp"

#include "python/boundary.hpp"
#include "python/compat.hpp"

namespace core_fips {

std::optional<std::span<std::uint8_t>> ResultBytes::reserve(std::size_t length) {
  return with_lock_retaken(released_, [&]() -> std::optional<std::span<std::uint8_t>> {
    object_ = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    if (!object_) return std::nullopt;
    return std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(py::bytes_data(object_.get())),
                                   length);
  });
}

}  // namespace core_fips
