# Cross-compiles Penmora for 64-bit Windows with mingw-w64 (posix threads).
# cmake --preset windows-x64, with PENMORA_DEPS_PREFIX from scripts/windows-deps.sh x86_64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PENMORA_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
