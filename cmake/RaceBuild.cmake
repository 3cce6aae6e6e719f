# The race build: the race configuration of this tree (cmake/RaceConfiguration.cmake) in <build>/race,
# and its suite as one test of the host build (race.Suite), so the normal test command runs it.
option(TARVEL_RACE_BUILD "Also build the drivers with data-race watchpoints and run the race suite" OFF)
set(TARVEL_RACE_DIR "" CACHE INTERNAL "")
if(NOT TARVEL_RACE_BUILD)
  return()
endif()
set(TARVEL_RACE_DIR ${CMAKE_BINARY_DIR}/race CACHE INTERNAL "")
include(ExternalProject)
set(race_args -DTARVEL_TARGET=race -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DTARVEL_SANITIZE=${TARVEL_SANITIZE}
              -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER} -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER})
if(CMAKE_CXX_COMPILER_LAUNCHER)
  list(APPEND race_args -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER}
                        -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER})
endif()
ExternalProject_Add(race_build
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${TARVEL_RACE_DIR}
  CMAKE_ARGS ${race_args}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD ON)
add_test(NAME race.Suite COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${TARVEL_RACE_DIR} -j2 --output-on-failure)
set_tests_properties(race.Suite PROPERTIES TIMEOUT 240 LABELS race)
