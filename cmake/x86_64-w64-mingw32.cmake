# Cross toolchain for the 64-bit test build: MinGW-w64 targeting x86-64
# Windows, with the DDK headers of the Debian package mingw-w64-x86-64-dev.
# The same sources as the shipped driver, for Wine's 64-bit half, which runs
# where 32-bit programs cannot; never shipped.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PELVON_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
