# The race configuration (TARVEL_TARGET=race): the emulated platform as in the host build, the driver
# modules compiled with the thread-sanitizer's instrumentation of their memory accesses (compile time
# only: no sanitizer runtime is linked; the emulated kernel implements the hooks, platform/kernel/race),
# the campaign, and the race suite of tests/race, which runs stress tests and a share of the campaign's
# seeds with data-race watchpoints.
# AddressSanitizer cannot instrument the same code, so the drivers go without it here.
list(APPEND TARVEL_DRIVER_FLAGS -fno-sanitize=address -fsanitize=thread --param tsan-distinguish-volatile=1)
foreach(dir platform comdriver tests/drivers tools/campaign tests/race)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()
