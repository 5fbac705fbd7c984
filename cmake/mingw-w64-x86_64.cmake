# Cross toolchain for the Windows image: mingw-w64's x86_64-w64-mingw32 tools
# from Debian (g++-mingw-w64-x86-64, binutils-mingw-w64-x86-64). Used by the
# separate project in windows/:
#
#   cmake -S windows -B build/windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(NUV_MINGW_TRIPLE x86_64-w64-mingw32)

# Debian installs two flavours of the compilers; the win32-thread one needs
# no winpthreads, and the driver uses no threads of the C runtime anyway.
find_program(CMAKE_CXX_COMPILER NAMES ${NUV_MINGW_TRIPLE}-g++-win32 ${NUV_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${NUV_MINGW_TRIPLE}-gcc-win32 ${NUV_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${NUV_MINGW_TRIPLE}-windres)
find_program(NUV_DLLTOOL NAMES ${NUV_MINGW_TRIPLE}-dlltool REQUIRED)
find_program(NUV_OBJDUMP NAMES ${NUV_MINGW_TRIPLE}-objdump REQUIRED)
set(CMAKE_OBJDUMP ${NUV_OBJDUMP})

# The target's headers and libraries, and nothing of the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${NUV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# A kernel image cannot be run, so compiler checks must not try to link a
# program against a C runtime.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
