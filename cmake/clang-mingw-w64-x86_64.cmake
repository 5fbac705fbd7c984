# Cross toolchain for the shipped Windows image: clang and lld from Debian
# (clang, lld), targeting x86_64-w64-mingw32 against mingw-w64's headers and
# import libraries (mingw-w64-x86-64-dev, binutils-mingw-w64-x86-64 for
# dlltool and objdump). clang writes CodeView debug information and lld
# links it into a PDB that a kernel debugger reads; GCC and GNU ld cannot.
# The C++ ABI is the one of the GCC build (mingw's Itanium ABI with MS
# bit-fields), so the same sources build with either toolchain file:
#
#   cmake -S windows -B build/windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/clang-mingw-w64-x86_64.cmake

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(NUV_MINGW_TRIPLE x86_64-w64-mingw32)

find_program(CMAKE_CXX_COMPILER NAMES clang++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES clang REQUIRED)
set(CMAKE_CXX_COMPILER_TARGET ${NUV_MINGW_TRIPLE})
set(CMAKE_C_COMPILER_TARGET ${NUV_MINGW_TRIPLE})
# Without a sysroot, clang's mingw driver also searches the build machine's
# /usr/include; with it, only mingw-w64's headers and libraries are seen.
set(CMAKE_SYSROOT /usr/${NUV_MINGW_TRIPLE})

find_program(NUV_LLD NAMES ld.lld REQUIRED)
find_program(NUV_DLLTOOL NAMES ${NUV_MINGW_TRIPLE}-dlltool REQUIRED)
find_program(NUV_OBJDUMP NAMES ${NUV_MINGW_TRIPLE}-objdump REQUIRED)
set(CMAKE_OBJDUMP ${NUV_OBJDUMP})

set(CMAKE_FIND_ROOT_PATH /usr/${NUV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# A kernel image cannot be run, so compiler checks must not try to link a
# program against a C runtime.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
