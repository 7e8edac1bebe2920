# Cross-compiling for aarch64 Linux with Debian's cross toolchain (g++-aarch64-linux-gnu), for
# AWS-LC, GoogleTest and the extension alike. Programs made here run under qemu-user: callers pass
# CMAKE_CROSSCOMPILING_EMULATOR (setup/arm64.sh writes the runner) so that CTest's test discovery
# and runs go through it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(_core_fips_triple aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${_core_fips_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_core_fips_triple}-g++)
set(CMAKE_ASM_COMPILER ${_core_fips_triple}-gcc)
# The binutils of the cross toolchain: the host's would write or read x86-64 objects.
foreach(_tool IN ITEMS ar ranlib nm objcopy objdump strip readelf)
  string(TOUPPER "${_tool}" _var)
  find_program(CMAKE_${_var} NAMES ${_core_fips_triple}-${_tool} REQUIRED)
endforeach()
find_program(CMAKE_LINKER NAMES ${_core_fips_triple}-ld REQUIRED)
# Libraries and headers only from the target's folders (never the host's x86-64 ones); packages
# are found by their <Name>_DIR, programs on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${_core_fips_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
