# The libFuzzer build: libFuzzer's coverage is clang's, so the fuzz targets of tests/fuzz come from a
# second configuration of this same tree built with clang (TARVEL_TARGET=fuzz, cmake/FuzzConfiguration.cmake)
# in <build>/fuzz. Skipped with a message when clang or its libFuzzer runtime is missing (scripts/deps.sh
# installs both).
option(TARVEL_FUZZ_BUILD "Also build the whole-stack fuzz targets with clang and libFuzzer" ON)
set(TARVEL_FUZZ_DIR "" CACHE INTERNAL "")
if(NOT TARVEL_FUZZ_BUILD)
  return()
endif()
find_program(TARVEL_FUZZ_CC clang)
find_program(TARVEL_FUZZ_CXX clang++)
if(NOT TARVEL_FUZZ_CC OR NOT TARVEL_FUZZ_CXX)
  message(STATUS "clang not found: the whole-stack fuzz targets are not built")
  return()
endif()
# clang alone is not enough: its libFuzzer runtime (libclang-rt-*-dev) must be there too.
set(probe ${CMAKE_BINARY_DIR}/CMakeFiles/libfuzzer_probe.cpp)
file(WRITE ${probe} "#include <cstddef>\n#include <cstdint>\nextern \"C\" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }\n")
execute_process(COMMAND ${TARVEL_FUZZ_CXX} -fsanitize=fuzzer,address,undefined ${probe} -o ${CMAKE_BINARY_DIR}/CMakeFiles/libfuzzer_probe
                RESULT_VARIABLE probe_result OUTPUT_QUIET ERROR_QUIET)
if(NOT probe_result EQUAL 0)
  message(STATUS "clang's libFuzzer runtime not found: the whole-stack fuzz targets are not built")
  return()
endif()
set(TARVEL_FUZZ_DIR ${CMAKE_BINARY_DIR}/fuzz CACHE INTERNAL "")
include(ExternalProject)
ExternalProject_Add(fuzz_targets
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${TARVEL_FUZZ_DIR}
  CMAKE_ARGS -DCMAKE_C_COMPILER=${TARVEL_FUZZ_CC} -DCMAKE_CXX_COMPILER=${TARVEL_FUZZ_CXX} -DTARVEL_TARGET=fuzz
             -DTARVEL_WINDOWS_DIR=${CMAKE_BINARY_DIR}/windows
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD ON)
