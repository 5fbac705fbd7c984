# Sanitizer builds of the whole host build (driver, host platform, tests and
# tools), chosen per build directory:
#
#   cmake -S . -B build-asan -G Ninja -DNUV_SANITIZE=address
#   cmake -S . -B build-tsan -G Ninja -DNUV_SANITIZE=thread
#
# address: AddressSanitizer and UndefinedBehaviorSanitizer, every finding
# fatal. UBSan's vptr check is off: it reads the type information of the
# dynamic type behind each polymorphic access, and the driver (with the tests
# that derive from its classes) is built without RTTI as kernel code must be,
# so there is none to read. Every other UBSan check stays on.
#
# thread: ThreadSanitizer. The host spin locks are atomics, which it
# understands; the engine's period thread and the worker threads of the
# host kernel are the races it looks at.

set(NUV_SANITIZE "" CACHE STRING "Sanitizer build: empty, address or thread")
set_property(CACHE NUV_SANITIZE PROPERTY STRINGS "" address thread)

if(NUV_SANITIZE STREQUAL "address")
  set(NUV_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
      -fno-sanitize=vptr -fno-omit-frame-pointer)
elseif(NUV_SANITIZE STREQUAL "thread")
  set(NUV_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT NUV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "NUV_SANITIZE must be empty, address or thread, not ${NUV_SANITIZE}")
endif()

if(NUV_SANITIZER_FLAGS)
  add_compile_options(${NUV_SANITIZER_FLAGS})
  add_link_options(${NUV_SANITIZER_FLAGS})
endif()

# --- fuzzers -------------------------------------------------------------------
# Every fuzzer is built as a replay program in every build: a main() that
# runs LLVMFuzzerTestOneInput over files (fuzz/support/replaymain.cpp),
# which CTest runs over the committed corpus fuzz/corpus/<name>. With
# NUV_FUZZ (clang only) the whole build is instrumented for libFuzzer with
# AddressSanitizer and UndefinedBehaviorSanitizer, each fuzzer is linked
# with libFuzzer too, and CTest also runs it for NUV_FUZZ_SECONDS on a copy
# of its corpus. Fuzz tests carry the label "fuzz".
option(NUV_FUZZ "Build the libFuzzer fuzzers (clang)" OFF)
set(NUV_FUZZ_SECONDS 20 CACHE STRING "Seconds of each fuzzer's CTest run")

if(NUV_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "NUV_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
  endif()
  if(NUV_SANITIZE)
    message(FATAL_ERROR "NUV_FUZZ brings its own sanitizers; leave NUV_SANITIZE empty")
  endif()
  # vptr is off for the reason given for NUV_SANITIZE=address above.
  set(NUV_FUZZ_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all
      -fno-sanitize=vptr -fno-omit-frame-pointer)
  add_compile_options(${NUV_FUZZ_SANITIZERS} -fsanitize=fuzzer-no-link)
  add_link_options(${NUV_FUZZ_SANITIZERS})
endif()

function(nuv_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  set(corpus ${NUV_ROOT}/fuzz/corpus/${name})

  add_executable(${name}_replay ${ARG_SOURCES} ${NUV_ROOT}/fuzz/support/replaymain.cpp)
  target_compile_features(${name}_replay PRIVATE cxx_std_20)
  target_compile_options(${name}_replay PRIVATE ${NUV_COMMON_FLAGS})
  target_link_libraries(${name}_replay PRIVATE ${ARG_LIBS})
  add_test(NAME Fuzz.${name}.Replay COMMAND ${name}_replay ${corpus})
  set_tests_properties(Fuzz.${name}.Replay PROPERTIES LABELS fuzz)
  # The same corpus against the Windows image (fuzz/support/fuzzsystem.h).
  if(NUV_IMAGE_TESTS)
    add_test(NAME Fuzz.${name}.Replay.Image COMMAND ${name}_replay ${corpus})
    set_tests_properties(Fuzz.${name}.Replay.Image PROPERTIES
      LABELS "fuzz;image" SKIP_RETURN_CODE 77
      ENVIRONMENT "NUV_DRIVER_IMAGE=${NUV_WINDOWS_IMAGE}")
  endif()

  if(NUV_FUZZ)
    add_executable(${name}_fuzzer ${ARG_SOURCES})
    target_compile_features(${name}_fuzzer PRIVATE cxx_std_20)
    target_compile_options(${name}_fuzzer PRIVATE ${NUV_COMMON_FLAGS})
    target_link_libraries(${name}_fuzzer PRIVATE ${ARG_LIBS})
    target_link_options(${name}_fuzzer PRIVATE -fsanitize=fuzzer)
    # New inputs go to a scratch copy; the committed corpus only seeds it.
    set(scratch ${CMAKE_CURRENT_BINARY_DIR}/corpus-${name})
    add_test(NAME Fuzz.${name}.Run
             COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
                     ${NUV_ROOT}/fuzz/run-fuzzer.sh $<TARGET_FILE:${name}_fuzzer>
                     ${NUV_FUZZ_SECONDS} ${scratch} ${corpus})
    set_tests_properties(Fuzz.${name}.Run PROPERTIES LABELS fuzz RUN_SERIAL TRUE
                         TIMEOUT 600)
    add_dependencies(nuv_fuzzers ${name}_fuzzer)
  endif()
  add_dependencies(nuv_fuzzers ${name}_replay)
endfunction()
