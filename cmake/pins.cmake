# setup/pins, what we build and ship, typed once: each KEY=value line as PIN_KEY. Included by
# CMakeLists.txt and by awslc-from-source.cmake (which a project may include on its own).
include_guard(GLOBAL)
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../setup/pins" _pins REGEX "^[A-Z][A-Z0-9_]*=")
foreach(_pin IN LISTS _pins)
  string(REGEX MATCH "^([A-Z][A-Z0-9_]*)=(.*)$" _ "${_pin}")
  set(PIN_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
endforeach()
if(NOT PIN_DEBIAN_AWSLC_LIBRARY OR NOT PIN_FIPS_LIBRARY)
  message(FATAL_ERROR "setup/pins names no AWS-LC library: restore it from the checkout")
endif()
