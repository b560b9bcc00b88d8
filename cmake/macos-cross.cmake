# Cross-builds the macOS configuration on Linux with clang and lld:
#   cmake -S . -B build-mac-arm64 -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/macos-cross.cmake \
#     -DVELL_MACOS_HEADERS=/path/to/headers -DVELL_MACOS_ARCH=arm64
# The header folder holds Frameworks/ (headers and .tbd stubs), include/ (with
# libc++ in include/c++/v1) and lib/. What it lacks (libSystem, libc++,
# ServiceManagement, UserNotifications) comes from cmake/stubs/, which list
# only the symbols the code may use, so a symbol macOS does not export fails
# the link. One architecture per build; scripts/check-macos.sh joins them.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 24.0)

if(NOT VELL_MACOS_HEADERS)
  set(VELL_MACOS_HEADERS "$ENV{VELL_MACOS_HEADERS}")
endif()
if(NOT VELL_MACOS_ARCH)
  set(VELL_MACOS_ARCH arm64)
endif()
set(CMAKE_OSX_ARCHITECTURES "${VELL_MACOS_ARCH}" CACHE STRING "" FORCE)
set(CMAKE_SYSTEM_PROCESSOR "${VELL_MACOS_ARCH}")
# try_compile projects read this file again and need the same answers.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELL_MACOS_HEADERS VELL_MACOS_ARCH
     VELL_MACOS_SYSROOT)

file(GLOB _vell_llvm_bins /usr/lib/llvm-*/bin)
list(SORT _vell_llvm_bins ORDER DESCENDING)
find_program(VELL_LD64_LLD NAMES ld64.lld HINTS ${_vell_llvm_bins} REQUIRED)
find_program(CMAKE_AR NAMES llvm-ar HINTS ${_vell_llvm_bins} REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib HINTS ${_vell_llvm_bins} REQUIRED)
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool HINTS ${_vell_llvm_bins}
             REQUIRED)

find_program(VELL_CLANG NAMES clang REQUIRED)
find_program(VELL_CLANGXX NAMES clang++ REQUIRED)
set(CMAKE_C_COMPILER ${VELL_CLANG})
set(CMAKE_CXX_COMPILER ${VELL_CLANGXX})
set(CMAKE_OBJCXX_COMPILER ${VELL_CLANGXX})
set(_vell_target ${VELL_MACOS_ARCH}-apple-macos15)
set(CMAKE_C_COMPILER_TARGET ${_vell_target})
set(CMAKE_CXX_COMPILER_TARGET ${_vell_target})
set(CMAKE_OBJCXX_COMPILER_TARGET ${_vell_target})
# Debian's clang picks libstdc++ unless told; a Mac has only libc++.
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_OBJCXX_FLAGS_INIT "-stdlib=libc++")
# The linker version tells clang to speak to lld as to a recent ld64.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-stdlib=libc++ --ld-path=${VELL_LD64_LLD} -mlinker-version=705")

# A sysroot laid out as an SDK: the headers, and the stubs beside the
# frameworks' own.
if(NOT VELL_MACOS_SYSROOT)
  if(NOT IS_DIRECTORY "${VELL_MACOS_HEADERS}/Frameworks")
    message(FATAL_ERROR "VELL_MACOS_HEADERS must name a folder of macOS headers with Frameworks/")
  endif()
  set(VELL_MACOS_SYSROOT "${CMAKE_BINARY_DIR}/macos-sysroot")
  set(_stubs "${CMAKE_CURRENT_LIST_DIR}/stubs")
  file(REMOVE_RECURSE "${VELL_MACOS_SYSROOT}")
  file(MAKE_DIRECTORY "${VELL_MACOS_SYSROOT}/usr/lib" "${VELL_MACOS_SYSROOT}/System/Library/Frameworks")
  file(CREATE_LINK "${VELL_MACOS_HEADERS}/include" "${VELL_MACOS_SYSROOT}/usr/include" SYMBOLIC)
  file(GLOB _libs "${VELL_MACOS_HEADERS}/lib/*.tbd")
  foreach(_lib IN LISTS _libs)
    get_filename_component(_name "${_lib}" NAME)
    file(CREATE_LINK "${_lib}" "${VELL_MACOS_SYSROOT}/usr/lib/${_name}" SYMBOLIC)
  endforeach()
  foreach(_name libSystem libc++)
    file(CREATE_LINK "${_stubs}/${_name}.tbd" "${VELL_MACOS_SYSROOT}/usr/lib/${_name}.tbd" SYMBOLIC)
  endforeach()
  file(GLOB _frameworks "${VELL_MACOS_HEADERS}/Frameworks/*.framework")
  foreach(_framework IN LISTS _frameworks)
    get_filename_component(_name "${_framework}" NAME)
    file(CREATE_LINK "${_framework}" "${VELL_MACOS_SYSROOT}/System/Library/Frameworks/${_name}"
         SYMBOLIC)
  endforeach()
  file(GLOB _stub_frameworks "${_stubs}/*.framework")
  foreach(_framework IN LISTS _stub_frameworks)
    get_filename_component(_name "${_framework}" NAME)
    file(CREATE_LINK "${_framework}" "${VELL_MACOS_SYSROOT}/System/Library/Frameworks/${_name}"
         SYMBOLIC)
  endforeach()
endif()
set(CMAKE_OSX_SYSROOT "${VELL_MACOS_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${VELL_MACOS_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
