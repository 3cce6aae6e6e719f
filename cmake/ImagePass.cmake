# The image pass: driver, system and campaign tests a second time on the Windows images the build
# cross-compiles (the kernel's loader maps tarvelpipe.sys and tarvelport.sys, TARVEL_IMAGES=pe), so that
# the bytes that ship are the bytes tested. Its tests are named "pe:<name>" and labelled "images":
# `ctest -L images` runs the pass alone, `ctest -LE images` everything else.
#
# The kernel's exports and the driver-kit callback types use the Microsoft x64 calling convention in this
# build too (tarvel/exports.h: kBoundaryIsMsAbi), so a module and an image are called alike.
option(TARVEL_IMAGE_PASS "Run the driver, system and campaign tests a second time on the Windows images" ON)
if(NOT TARVEL_WINDOWS_IMAGES)
  set(TARVEL_IMAGE_PASS OFF)
endif()

# tarvel_discover_tests_on_images(TARGET [FILTER gtest-filter] [TIMEOUT seconds])
function(tarvel_discover_tests_on_images target)
  if(NOT TARVEL_IMAGE_PASS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "FILTER;TIMEOUT" "" ${ARGN})
  set(filter)
  if(ARG_FILTER)
    set(filter TEST_FILTER ${ARG_FILTER})
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  gtest_discover_tests(${target} TEST_PREFIX "pe:" ${filter} DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS images ENVIRONMENT TARVEL_IMAGES=pe)
endfunction()

# A test command run a second time on the images: NAME becomes "pe:NAME".
function(tarvel_add_test_on_images name)
  if(NOT TARVEL_IMAGE_PASS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "TIMEOUT" "COMMAND" ${ARGN})
  add_test(NAME pe:${name} COMMAND ${ARG_COMMAND})
  set_tests_properties(pe:${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS images ENVIRONMENT TARVEL_IMAGES=pe)
endfunction()
