# AWS-LC built at configure time, when no built prefix is given (pip building the sdist): the
# Debian's AWS-LC source the sdist bundles (third_party/aws-lc-sys-*), or the source that
# CORE_FIPS_AWSLC_SOURCE names (the AWS-LC-FIPS zip, or its tree), verified first. Both are
# built by setup/build-awslc.sh, the script this project builds every AWS-LC with, with the
# compilers, toolchain file, nm and readelf CMake resolved for the extension, and go from PATH,
# into CORE_FIPS_AWSLC_BUILD_DIR/core-fips-awslc (default: in the build folder). A build of the
# bundle is reused by a later build with the same source bytes, scripts and tools (a packager
# building for several interpreters builds it once) if the folder is this user's (or root's),
# nobody else can write to it and its library is the one built there. A named source is verified
# and compiled at every configure, never reused: what the wheel claims of it is what this configure
# did (CMakeLists.txt). build-awslc.sh is given its inputs as options and runs in an environment it
# makes. Sets CORE_FIPS_AWSLC, _awslc_claim and _awslc_compiled_sha256.
#
include("${CMAKE_CURRENT_LIST_DIR}/pins.cmake") # PIN_*: the versions, prefixes and libraries

# Each setting comes from -D, else from the environment, read at every configure.
foreach(_var IN ITEMS CORE_FIPS_AWSLC_SOURCE CORE_FIPS_AWSLC_ALLOW_MISSING CORE_FIPS_AWSLC_BUILD_DIR)
  if(NOT DEFINED ${_var})
    set(${_var} "$ENV{${_var}}")
  endif()
endforeach()

if(CORE_FIPS_AWSLC_BUILD_DIR)
  if(NOT IS_ABSOLUTE "${CORE_FIPS_AWSLC_BUILD_DIR}")
    message(FATAL_ERROR "CORE_FIPS_AWSLC_BUILD_DIR must be an absolute path, not ${CORE_FIPS_AWSLC_BUILD_DIR}")
  endif()
  set(_awslc_parent "${CORE_FIPS_AWSLC_BUILD_DIR}")
  set(_awslc_name core-fips-awslc)
else()
  set(_awslc_parent "${CMAKE_BINARY_DIR}")
  set(_awslc_name awslc)
endif()
set(_awslc_dir "${_awslc_parent}/${_awslc_name}")
if(_awslc_dir MATCHES " ")
  message(FATAL_ERROR "AWS-LC cannot be built in a folder whose path has a space: ${_awslc_dir}")
endif()
# Made here, or reused only if it is ours (or root's) and nobody else can write to it.
# Isolated (-I): no PYTHONPATH module and no user site .pth runs before the verifier does.
set(_awslc_py "${Python_EXECUTABLE}" -I "${CMAKE_SOURCE_DIR}/setup/awslc_source.py")
execute_process(COMMAND ${_awslc_py} build-folder "${_awslc_parent}" ${_awslc_name} RESULT_VARIABLE _awslc_rc)
if(NOT _awslc_rc EQUAL 0)
  message(FATAL_ERROR "the AWS-LC build folder was refused (the line above says why)")
endif()
# One build at a time in a shared folder; the others wait, then reuse it.
file(LOCK "${_awslc_dir}/.lock" GUARD FILE TIMEOUT 3600)

# What build-awslc.sh is told; it takes nothing else from this environment (it makes its own): the
# extension's compilers and, for a cross build, the toolchain file named for AWS-LC
# (-DCORE_FIPS_AWSLC_TOOLCHAIN=FILE, never the extension's CMAKE_TOOLCHAIN_FILE, which CMake also takes
# from the environment) with the nm and readelf this configure found (docs/packaging.md says so),
# each in the key below.
set(_awslc_options --cc "${CMAKE_C_COMPILER}" --cxx "${CMAKE_CXX_COMPILER}" --python "${Python_EXECUTABLE}")
set(_awslc_tools "${CMAKE_C_COMPILER}" "${CMAKE_CXX_COMPILER}")
if(CORE_FIPS_AWSLC_TOOLCHAIN)
  get_filename_component(_awslc_toolchain "${CORE_FIPS_AWSLC_TOOLCHAIN}" ABSOLUTE)
  list(APPEND _awslc_options --toolchain "${_awslc_toolchain}" --nm "${CMAKE_NM}" --readelf "${CMAKE_READELF}")
  list(APPEND _awslc_tools "${_awslc_toolchain}" "${CMAKE_NM}" "${CMAKE_READELF}")
endif()
# perl (AWS-LC's assembly generators): AWS-LC's configure finds it on the PATH it keeps; the same
# one, found here on PATH alone, keys the build.
unset(_awslc_perl CACHE)
find_program(_awslc_perl NAMES perl PATHS ENV PATH NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT _awslc_perl)
  message(FATAL_ERROR "perl is missing from PATH (AWS-LC's build uses it): apt install perl (Debian), dnf install perl (RHEL-like)")
endif()
list(APPEND _awslc_tools "${_awslc_perl}")
unset(_awslc_perl CACHE)
if(CORE_FIPS_AWSLC_SOURCE)
  set(_awslc_version ${PIN_FIPS_VERSION})
  set(_awslc_prefix ${PIN_FIPS_PREFIX})
  set(_awslc_library ${PIN_FIPS_LIBRARY})
  # Go writes the prefix headers and err_data.c and runs the integrity-hash step: the one on PATH,
  # found again at every configure, never through CMAKE_PROGRAM_PATH, CMAKE_PREFIX_PATH, a
  # toolchain's find root or a cached value.
  unset(CORE_FIPS_GO CACHE)
  find_program(CORE_FIPS_GO NAMES go PATHS ENV PATH NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT CORE_FIPS_GO)
    message(FATAL_ERROR "go is missing from PATH (it runs AWS-LC's own build steps): apt install golang-go (Debian), dnf install golang (RHEL-like)")
  endif()
  get_filename_component(_awslc_go "${CORE_FIPS_GO}" REALPATH)  # through a symlink, go cannot find its GOROOT
  unset(CORE_FIPS_GO CACHE)
  list(APPEND _awslc_options --go "${_awslc_go}")
  list(APPEND _awslc_tools "${_awslc_go}")
  # Verified at every configure (seconds), into a folder the verifier makes; what is built is that
  # copy, and the key of its bytes and record keys the build.
  set(_awslc_allow)
  if(CORE_FIPS_AWSLC_ALLOW_MISSING)
    set(_awslc_allow --allow-missing "${CORE_FIPS_AWSLC_ALLOW_MISSING}")
  endif()
  file(REMOVE_RECURSE "${_awslc_dir}/source.new")
  execute_process(COMMAND ${_awslc_py} verify "${CORE_FIPS_AWSLC_SOURCE}" "${_awslc_dir}/source.new" ${_awslc_allow}
                  RESULT_VARIABLE _awslc_rc)
  if(NOT _awslc_rc EQUAL 0)
    message(FATAL_ERROR "the AWS-LC source was refused (the line above says why)")
  endif()
  file(READ "${_awslc_dir}/source.new/source.txt" _awslc_verified LIMIT 65536)
  file(READ "${_awslc_dir}/source.new/source.key" _awslc_stamp LIMIT 1024)
  # The kind of source this configure verified, in setup/awslc_source.py's words (awslc_record.py).
  if(_awslc_verified MATCHES "^AWS-LC-FIPS ${PIN_FIPS_VERSION} from the verified zip ")
    set(_awslc_claim verified-zip)
  elseif(_awslc_verified MATCHES "^AWS-LC-FIPS ${PIN_FIPS_VERSION} from an unpacked tree ")
    set(_awslc_claim tree)
  elseif(_awslc_verified MATCHES "^AWS-LC-FIPS ${PIN_FIPS_VERSION} from an INCOMPLETE tree: ")
    set(_awslc_claim incomplete-tree)
    message(WARNING "${_awslc_verified}")
  else()
    message(FATAL_ERROR "the AWS-LC source verifier wrote no record this build knows: ${_awslc_verified}")
  endif()
else()
  file(GLOB _awslc_bundled LIST_DIRECTORIES true "${CMAKE_SOURCE_DIR}/third_party/aws-lc-sys-*")
  if(NOT _awslc_bundled)
    message(FATAL_ERROR "no AWS-LC to build against: set CORE_FIPS_AWSLC to a built prefix (tools/python and tools/test do), or build the sdist, which bundles AWS-LC's source (tools/sdist)")
  endif()
  set(_awslc_version ${PIN_DEBIAN_AWSLC_VERSION})
  set(_awslc_prefix ${PIN_DEBIAN_AWSLC_PREFIX})
  set(_awslc_library ${PIN_DEBIAN_AWSLC_LIBRARY})
  # The bundle's bytes, not its folder: pip unpacks the sdist somewhere new each time.
  file(GLOB_RECURSE _awslc_files RELATIVE "${_awslc_bundled}" "${_awslc_bundled}/*")
  list(SORT _awslc_files)
  set(_awslc_stamp "")
  foreach(_f IN LISTS _awslc_files)
    file(SHA256 "${_awslc_bundled}/${_f}" _h)
    string(APPEND _awslc_stamp "${_h} ${_f}\n")
  endforeach()
  string(SHA256 _awslc_stamp "${_awslc_stamp}")
  set(_awslc_claim sdist-bundle)
endif()
foreach(_f IN ITEMS build-awslc.sh inject_hash.py go-shim)
  file(SHA256 "${CMAKE_SOURCE_DIR}/setup/${_f}" _h)
  string(APPEND _awslc_stamp "|${_h}")
endforeach()
# The symbol prefix, and each tool by what it is (one interpreter's CMake finds gcc, another's
# x86_64-linux-gnu-gcc): its resolved path and SHA-256; the compilers' versions too.
string(APPEND _awslc_stamp "|${_awslc_prefix}|${CMAKE_C_COMPILER_VERSION}|${CMAKE_CXX_COMPILER_VERSION}")
foreach(_tool IN LISTS _awslc_tools)
  get_filename_component(_real "${_tool}" REALPATH)
  set(_h none)
  if(EXISTS "${_real}")
    file(SHA256 "${_real}" _h)
  endif()
  string(APPEND _awslc_stamp "|${_real} ${_h}")
endforeach()

set(_awslc_built_from "")
if(EXISTS "${_awslc_dir}/stamp")
  file(READ "${_awslc_dir}/stamp" _awslc_built_from)
endif()
set(_awslc_lib "${_awslc_dir}/prefix/lib/${_awslc_library}")
if(NOT CORE_FIPS_AWSLC_SOURCE AND EXISTS "${_awslc_lib}" AND _awslc_built_from STREQUAL _awslc_stamp)
  # The same inputs: reused only if every file of the prefix (library, headers, record) is still
  # the one built there, under this stamp (the manifest build-awslc.sh wrote).
  execute_process(COMMAND ${_awslc_py} check-prefix "${_awslc_dir}/prefix" --stamp "${_awslc_stamp}"
                  RESULT_VARIABLE _awslc_rc)
  if(NOT _awslc_rc EQUAL 0)
    message(FATAL_ERROR "refused to reuse ${_awslc_dir}: it is not what was built there (the line above says why); delete the folder")
  endif()
  file(SHA256 "${_awslc_lib}" _h)
  message(STATUS "AWS-LC ${_awslc_version} (FIPS): reusing the build in ${_awslc_dir} (same source, scripts and tools)")
  set(_awslc_compiled_sha256 "${_h}")
else()
  # Only what this file makes there.
  file(REMOVE_RECURSE "${_awslc_dir}/prefix" "${_awslc_dir}/work" "${_awslc_dir}/source" "${_awslc_dir}/stamp"
       "${_awslc_dir}/awslc-logs")
  set(_awslc_source "${_awslc_bundled}")
  if(CORE_FIPS_AWSLC_SOURCE)
    file(RENAME "${_awslc_dir}/source.new" "${_awslc_dir}/source")
    set(_awslc_source "${_awslc_dir}/source")
  endif()
  # pyelftools, for the integrity value: where this interpreter finds it (pip's isolated build puts
  # it on PYTHONPATH, which the build does not see), never in the user site (-s): a .pth there
  # would run here.
  execute_process(COMMAND "${Python_EXECUTABLE}" -s -c "import elftools, os; print(os.path.dirname(os.path.dirname(elftools.__file__)))"
                  OUTPUT_VARIABLE _awslc_elftools OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _awslc_rc)
  if(NOT _awslc_rc EQUAL 0)
    message(FATAL_ERROR "${Python_EXECUTABLE} cannot import pyelftools, which AWS-LC's build needs: apt install python3-pyelftools")
  endif()
  list(APPEND _awslc_options --pyelftools "${_awslc_elftools}")
  message(STATUS "Building AWS-LC ${_awslc_version} (FIPS) from ${_awslc_source} into ${_awslc_dir}: a minute or two")
  execute_process(COMMAND bash -p "${CMAKE_SOURCE_DIR}/setup/build-awslc.sh" ${_awslc_options} --stamp "${_awslc_stamp}"
                          "${_awslc_source}"
                          "${_awslc_dir}/work" "${_awslc_dir}/prefix" ${_awslc_prefix} ${_awslc_version}
                  RESULT_VARIABLE _awslc_rc)
  if(NOT _awslc_rc EQUAL 0)
    message(FATAL_ERROR "AWS-LC's build failed (the lines above say why; its logs: ${_awslc_dir}/awslc-logs)")
  endif()
  file(RENAME "${_awslc_dir}/work/prefix" "${_awslc_dir}/prefix")
  file(REMOVE_RECURSE "${_awslc_dir}/work")
  file(SHA256 "${_awslc_lib}" _awslc_compiled_sha256)
  if(CORE_FIPS_AWSLC_SOURCE)
    # The record the build just wrote starts with what this configure verified.
    file(READ "${_awslc_dir}/prefix/share/core-fips/awslc-source.txt" _awslc_written LIMIT 65536)
    string(FIND "${_awslc_written}" "${_awslc_verified}" _at)
    if(NOT _at EQUAL 0)
      message(FATAL_ERROR "AWS-LC's build recorded another source than the one verified: ${_awslc_written}")
    endif()
  endif()
  file(WRITE "${_awslc_dir}/stamp" "${_awslc_stamp}")
endif()
file(REMOVE_RECURSE "${_awslc_dir}/source.new")
set(CORE_FIPS_AWSLC "${_awslc_dir}/prefix")
