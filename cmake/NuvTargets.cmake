# One helper per kind of target.
#
#   nuv_driver_library(name)        the driver's sources, under kernel rules
#   nuv_host_library(name ...)      the host platform and what its programs share
#   nuv_test_library(name ...)      fixtures, fakes and builders for tests only
#   nuv_test(name SOURCES ... LIBS ...)   a GoogleTest program run by CTest
#   nuv_tool(name SOURCES ... LIBS ...)   a command-line program

set(NUV_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
set(NUV_HOST_INCLUDE ${NUV_ROOT}/host/include)

# Windows has a 16-bit wchar_t; the whole host build follows it so that wide
# strings cross the driver/platform boundary unchanged.
set(NUV_COMMON_FLAGS -Wall -Wextra -Werror -fshort-wchar
    # The DDK's GUID scheme initialises a GUID from its flat value list
    # (STATIC_X), which clang's -Wall flags as missing braces; GCC does not.
    $<$<CXX_COMPILER_ID:Clang>:-Wno-missing-braces>)

# Kernel rules: no exceptions, no RTTI, no standard library, no static
# constructors (the tables are constant data; -Wglobal-constructors is clang's
# check, the link test in windows/ is the other).
set(NUV_DRIVER_FLAGS ${NUV_COMMON_FLAGS} -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables
    # Objects are zero-filled by their operator new before construction; the
    # constructor must not be allowed to assume the storage was garbage.
    $<$<CXX_COMPILER_ID:GNU>:-fno-lifetime-dse>
    $<$<CXX_COMPILER_ID:Clang>:-Wglobal-constructors>)

include(${CMAKE_CURRENT_LIST_DIR}/NuvDriverDirs.cmake)

function(nuv_driver_library name)
  set(sources)
  foreach(dir IN LISTS NUV_DRIVER_DIRS)
    file(GLOB dir_sources CONFIGURE_DEPENDS ${NUV_ROOT}/${dir}/*.cpp)
    list(APPEND sources ${dir_sources})
  endforeach()
  add_library(${name} STATIC ${sources})
  target_compile_features(${name} PUBLIC cxx_std_17)
  target_compile_options(${name} PRIVATE ${NUV_DRIVER_FLAGS} -nostdinc++)
  # The host headers come first, as the DDK's would on Windows.
  target_include_directories(${name} BEFORE PUBLIC ${NUV_HOST_INCLUDE})
  target_include_directories(${name} PUBLIC ${NUV_ROOT})
  set_target_properties(${name} PROPERTIES CXX_EXTENSIONS OFF)
endfunction()

# OBJECT: an object library, whose every object is linked into each program
# that links it (for code that registers itself and is referred to by none).
function(nuv_host_library name)
  cmake_parse_arguments(ARG "OBJECT" "" "SOURCES;LIBS" ${ARGN})
  if(ARG_OBJECT)
    add_library(${name} OBJECT ${ARG_SOURCES})
  else()
    add_library(${name} STATIC ${ARG_SOURCES})
  endif()
  target_compile_features(${name} PUBLIC cxx_std_20)
  target_compile_options(${name} PRIVATE ${NUV_COMMON_FLAGS})
  target_include_directories(${name} BEFORE PUBLIC ${NUV_HOST_INCLUDE})
  target_include_directories(${name} PUBLIC ${NUV_ROOT})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

# A library of test support: test programs and benchmarks may link it, tools
# may not (nuv_tool refuses it), so that nothing a user runs carries a fake.
function(nuv_test_library name)
  cmake_parse_arguments(ARG "OBJECT" "" "SOURCES;LIBS" ${ARGN})
  if(ARG_OBJECT)
    set(kind OBJECT)
  endif()
  nuv_host_library(${name} ${kind} SOURCES ${ARG_SOURCES} LIBS ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES NUV_TEST_ONLY TRUE)
endfunction()

find_package(GTest REQUIRED)
include(GoogleTest)

function(nuv_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_features(${name} PRIVATE cxx_std_20)
  # Tests derive from driver classes, which carry no type information.
  target_compile_options(${name} PRIVATE ${NUV_COMMON_FLAGS} -fno-rtti)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
endfunction()

function(nuv_tool name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  foreach(lib IN LISTS ARG_LIBS)
    if(TARGET ${lib})
      get_target_property(test_only ${lib} NUV_TEST_ONLY)
      if(test_only)
        message(FATAL_ERROR "tool ${name} links ${lib}, a library for tests only")
      endif()
    endif()
  endforeach()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_features(${name} PRIVATE cxx_std_20)
  target_compile_options(${name} PRIVATE ${NUV_COMMON_FLAGS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
endfunction()

# Sanitizer and fuzzer builds (NUV_SANITIZE, NUV_FUZZ).
include(NuvHardening)

#   nuv_benchmark(name SOURCES ... LIBS ...)   a Google Benchmark program,
#   built with everything else and run only on request (`make bench`)
find_package(benchmark REQUIRED)

function(nuv_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_features(${name} PRIVATE cxx_std_20)
  target_compile_options(${name} PRIVATE ${NUV_COMMON_FLAGS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark)
endfunction()
