# Shared helpers so that every library declares its targets the same way.
#
# vqx_test(NAME name SOURCES ... LIBS ... [LABELS ...] [TSAN])
#   A GoogleTest executable registered with CTest (label "unit" unless given).
#   TSAN marks a test that must also pass under the tsan preset; the target
#   vqx_tsan_tests builds exactly those.
# vqx_bench(NAME name SOURCES ... LIBS ...)   Google Benchmark program.
# vqx_fuzz(NAME name SOURCES ... LIBS ...)    libFuzzer target.

if(NOT TARGET vqx_tsan_tests)
  add_custom_target(vqx_tsan_tests)
  add_custom_target(vqx_fuzz_targets)
endif()

function(vqx_test)
  cmake_parse_arguments(T "TSAN" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT VQX_BUILD_TESTS)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  # g++ 12 at -O2/-O3 reports false overlaps and overflows inside inlined
  # std::string and std::vector code (GCC PR 105329, 105651); test programs
  # build strings freely, so these two are silenced there only.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${T_NAME} PRIVATE -Wno-restrict -Wno-stringop-overflow)
  endif()
  # Test peers shared between libraries (testing/peers/...).
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/testing)
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(T_TSAN)
    list(APPEND T_LABELS tsan)
    add_dependencies(vqx_tsan_tests ${T_NAME})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "VQX_SOURCE_DIR=${PROJECT_SOURCE_DIR};VQX_TEST_DATA=${CMAKE_CURRENT_SOURCE_DIR}/tests/data")
endfunction()

function(vqx_bench)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT VQX_BUILD_BENCH)
    return()
  endif()
  add_executable(${B_NAME} ${B_SOURCES})
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
  target_include_directories(${B_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/testing ${PROJECT_SOURCE_DIR}/utillib/bench)
endfunction()

function(vqx_fuzz)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT VQX_BUILD_FUZZ)
    return()
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS} Threads::Threads)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  add_dependencies(vqx_fuzz_targets ${F_NAME})
endfunction()

# vqx_library_folder(TARGET name [SOURCE_DIRS ...] [INCLUDE_DIRS ...] [LIBS ...] [TEST_LIBS ...]
#                    [TEST_INCLUDE_DIRS ...])
#   The static library of the current folder, built from the *.cpp files of
#   SOURCE_DIRS (default: the folder itself), and
#   beside it, by file name:
#     tests/test_*.cpp   one GoogleTest program each (tests/*_mt.cpp too,
#                        which are also run under ThreadSanitizer);
#                        tests/*_it.cpp are labelled "integration".
#     tests/support/*.cpp  helpers linked into every test program;
#                        TEST_INCLUDE_DIRS: fixtures of a lower layer's
#                        tests that these tests share;
#     bench/bench_*.cpp  one benchmark program each;
#     fuzz/fuzz_*.cpp    one libFuzzer target each.
#   Globbing keeps library folders free of per-file bookkeeping.
function(vqx_library_folder)
  cmake_parse_arguments(L "" "TARGET" "SOURCE_DIRS;INCLUDE_DIRS;LIBS;TEST_LIBS;TEST_INCLUDE_DIRS" ${ARGN})
  if(NOT L_SOURCE_DIRS)
    set(L_SOURCE_DIRS ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  set(srcs)
  foreach(d IN LISTS L_SOURCE_DIRS)
    file(GLOB s CONFIGURE_DEPENDS ${d}/*.cpp ${d}/*.c)
    list(APPEND srcs ${s})
  endforeach()
  if(srcs)
    add_library(${L_TARGET} STATIC ${srcs})
    target_include_directories(${L_TARGET} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${L_INCLUDE_DIRS})
    target_link_libraries(${L_TARGET} PUBLIC ${L_LIBS} Threads::Threads)
  else()
    # Headers only, so far.
    add_library(${L_TARGET} INTERFACE)
    target_include_directories(${L_TARGET} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR} ${L_INCLUDE_DIRS})
    target_link_libraries(${L_TARGET} INTERFACE ${L_LIBS} Threads::Threads)
  endif()

  file(GLOB support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/support/*.cpp)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/test_*.cpp)
  foreach(t IN LISTS tests)
    get_filename_component(n ${t} NAME_WE)
    set(labels unit)
    set(tsan)
    if(n MATCHES "_it$")
      set(labels integration)
    endif()
    if(n MATCHES "_mt$")
      set(tsan TSAN)
    endif()
    vqx_test(NAME ${L_TARGET}_${n} SOURCES ${t} ${support} LIBS ${L_TARGET} ${L_TEST_LIBS} LABELS ${labels} ${tsan})
    if(TARGET ${L_TARGET}_${n})
      target_include_directories(${L_TARGET}_${n} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests ${L_TEST_INCLUDE_DIRS})
    endif()
  endforeach()

  file(GLOB benches CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_*.cpp)
  foreach(b IN LISTS benches)
    get_filename_component(n ${b} NAME_WE)
    vqx_bench(NAME ${n} SOURCES ${b} LIBS ${L_TARGET})
  endforeach()

  file(GLOB fuzzers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/fuzz_*.cpp)
  foreach(f IN LISTS fuzzers)
    get_filename_component(n ${f} NAME_WE)
    vqx_fuzz(NAME ${n} SOURCES ${f} LIBS ${L_TARGET})
  endforeach()
endfunction()
