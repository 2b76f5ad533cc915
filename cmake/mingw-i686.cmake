# Cross-compiles Penmora for 32-bit Windows with mingw-w64 (posix threads).
# cmake --preset windows-x86, with PENMORA_DEPS_PREFIX from scripts/windows-deps.sh i686.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PENMORA_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
