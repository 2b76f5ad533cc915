# Shared part of the mingw-w64 toolchain files. The including file sets
# PENMORA_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
#
# The libraries come from the prefix that scripts/windows-deps.sh builds (cache
# variable PENMORA_DEPS_PREFIX) and from the compiler's own sysroot; nothing of
# the build machine's libraries is ever found. Everything links statically, so
# the executables import only system DLLs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${PENMORA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PENMORA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PENMORA_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${PENMORA_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${PENMORA_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "Ranlib")

set(PENMORA_DEPS_PREFIX "" CACHE PATH "Prefix built by scripts/windows-deps.sh")
# try_compile projects read this file again; hand them the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PENMORA_DEPS_PREFIX)

set(PENMORA_MINGW_SYSROOT /usr/${PENMORA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${PENMORA_DEPS_PREFIX} ${PENMORA_MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The sysroot also holds import libraries of DLLs that are not shipped
# (libz.dll.a); the platform module puts .dll.a first in the library suffixes
# after this file is read, so the project asks for zlib's archive itself.

# pkg-config sees the prefix and the sysroot's zlib, never the build machine.
set(ENV{PKG_CONFIG_LIBDIR}
    "${PENMORA_DEPS_PREFIX}/lib/pkgconfig:${PENMORA_MINGW_SYSROOT}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
# Static libraries' own dependencies (Libs.private) are needed when linking.
set(PKG_CONFIG_ARGN --static CACHE STRING "Extra pkg-config arguments")

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)
