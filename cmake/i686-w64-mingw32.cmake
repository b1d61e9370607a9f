# Cross toolchain for the kernel build: MinGW-w64 targeting 32-bit x86
# Windows, with the DDK headers of the Debian package mingw-w64-i686-dev.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PELVON_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
