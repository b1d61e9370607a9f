# Cross toolchain for the 64-bit test build: MinGW-w64 targeting x86-64
# Windows, with the DDK headers of the Debian package mingw-w64-x86-64-dev.
# The same sources as the shipped driver, for Wine's 64-bit half, which runs
# where 32-bit programs cannot; never shipped.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELVON_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PELVON_MINGW_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${PELVON_MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${PELVON_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${PELVON_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${PELVON_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(PELVON_DDK_INCLUDE_DIR /usr/${PELVON_MINGW_TRIPLE}/include/ddk)
