# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the posix threads variant, so that
# std::thread and std::mutex work). Libraries are looked up only in the mingw sysroot and in the
# dependency folder that scripts/build-windows fills (VCHAT_WIN_DEPS, as a cache or environment
# variable), never among the build machine's own libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VCHAT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VCHAT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VCHAT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VCHAT_MINGW_TRIPLE}-windres)

if(NOT VCHAT_WIN_DEPS AND DEFINED ENV{VCHAT_WIN_DEPS})
  set(VCHAT_WIN_DEPS "$ENV{VCHAT_WIN_DEPS}")
endif()
# try_compile projects read this file again; they need the same search roots.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VCHAT_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${VCHAT_MINGW_TRIPLE})
if(VCHAT_WIN_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH "${VCHAT_WIN_DEPS}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test discovery and ctest start the Windows programs through wine when it is installed.
find_program(VCHAT_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VCHAT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${VCHAT_WINE}")
endif()

# scripts/build-windows builds OpenSSL as static libraries; FindOpenSSL then adds Winsock and
# the system's certificate API, which libcrypto calls.
set(OPENSSL_USE_STATIC_LIBS TRUE)
