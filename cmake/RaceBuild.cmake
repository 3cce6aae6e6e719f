# The race build: every driver module of the host build once more, compiled with the thread-sanitizer's
# instrumentation of its memory accesses (compile time only: no sanitizer runtime is linked; the emulated
# kernel implements the hooks, platform/kernel/race), into <build>/drivers-race under the same file
# names. The platform, the test programs and the campaign are the host build's own: the race suite runs
# them with TARVEL_DRIVER_DIR pointing there (tests/race, and the race.Seeds/ cases of tests/port and
# tests/pipe), so the race build costs the drivers' compilation only.
option(TARVEL_RACE_BUILD "Also build the drivers with data-race watchpoints and run the race suite" OFF)
if(TARVEL_RACE_BUILD)
  set(TARVEL_RACE_DRIVER_DIR ${CMAKE_BINARY_DIR}/drivers-race)
  # AddressSanitizer cannot instrument the same code, so the twins go without it.
  set(TARVEL_RACE_DRIVER_FLAGS -fno-sanitize=address -fsanitize=thread --param tsan-distinguish-volatile=1)
endif()

# The seeded stress tests of a suite's program (its Seeds/ cases), once more with the instrumented
# modules, as race.Seeds/...; called where the program is defined. Nothing without the race build.
function(tarvel_add_race_seeds target)
  if(NOT TARVEL_RACE_BUILD)
    return()
  endif()
  foreach(driver tarvelpipe_race tarvelport_race tarveltest_race)
    if(TARGET ${driver})
      add_dependencies(${target} ${driver})
    endif()
  endforeach()
  gtest_discover_tests(${target} TEST_FILTER "Seeds/*" TEST_PREFIX "race." DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 120 LABELS race ENVIRONMENT TARVEL_DRIVER_DIR=${TARVEL_RACE_DRIVER_DIR})
endfunction()
