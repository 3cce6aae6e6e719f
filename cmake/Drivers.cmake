# tarvel_add_driver(NAME SOURCES ... [USBD])
#
# Builds one kernel-mode driver from the same sources for whichever target this tree is configured for:
#  - windows: NAME.sys, a PE32+ native image with entry DriverEntry that imports only from
#    ntoskrnl.exe, HAL.dll (and USBD.SYS with USBD);
#  - host:    NAME.so, a module that the emulated kernel's loader opens at run time; it may only use
#    what the emulated kernel (and its USB library) exports.
set(TARVEL_DRIVER_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-asynchronous-unwind-tables)
# Modules call the emulated kernel's hook on entry to each of their own functions (not to the inline
# routines of the driver-kit headers), which stops when pageable code is entered at DISPATCH_LEVEL.
# The exit hook also keeps a module's functions from tail-calling a kernel routine, so the return
# address a kernel routine sees is that of its real caller (verifier/paged_code.h relies on it).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(TARVEL_DRIVER_ENTRY_HOOKS -finstrument-functions
      -finstrument-functions-exclude-file-list=/platform/ddk/,/usr/include/,/usr/lib/)
else()
  set(TARVEL_DRIVER_ENTRY_HOOKS -finstrument-functions-after-inlining)
endif()

# The VERSIONINFO resource of image NAME, with the version of the INF's DriverVer line and the
# description of its service (NAME.SvcDesc), or NAME when the INF does not install it.
function(tarvel_driver_version_resource name out)
  set(inf ${CMAKE_SOURCE_DIR}/package/tarvel.inf)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${inf})
  file(STRINGS ${inf} driver_ver REGEX "^DriverVer[ \t]*=")
  if(NOT driver_ver MATCHES ",[ \t]*([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)")
    message(FATAL_ERROR "${inf}: no DriverVer line with a version a.b.c.d")
  endif()
  set(TARVEL_VERSION "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3}.${CMAKE_MATCH_4}")
  set(TARVEL_VERSION_COMMAS "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${CMAKE_MATCH_3},${CMAKE_MATCH_4}")
  file(STRINGS ${inf} description REGEX "^${name}\\.SvcDesc[ \t]*=")
  if(description MATCHES "\"([^\"]*)\"")
    set(TARVEL_IMAGE_DESCRIPTION "${CMAKE_MATCH_1}")
  else()
    set(TARVEL_IMAGE_DESCRIPTION "${name}")
  endif()
  set(TARVEL_IMAGE_NAME ${name})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${name}-version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/package/version.rc.in ${rc} @ONLY)
  set(${out} ${rc} PARENT_SCOPE)
endfunction()

function(tarvel_add_driver name)
  cmake_parse_arguments(ARG "USBD" "" "SOURCES;INCLUDES" ${ARGN})
  if(TARVEL_TARGET STREQUAL "windows")
    # An image, not a DLL: nothing is exported (a DLL exports every global by default), and the file
    # characteristics are those of a driver. --dynamicbase keeps the base relocations.
    tarvel_driver_version_resource(${name} resource)
    add_executable(${name} ${ARG_SOURCES} ${resource})
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".sys")
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/comdriver/common ${ARG_INCLUDES})
    target_include_directories(${name} SYSTEM PRIVATE ${TARVEL_DDK_INCLUDE})
    # No sibling calls: a locked helper's last call (KeReleaseSpinLock) stays a call, so the return
    # address the emulated kernel checks against pageable code is the helper's, as in the modules.
    target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:${TARVEL_DRIVER_FLAGS} -ffreestanding
                           -fno-stack-protector -mno-stack-arg-probe -fno-optimize-sibling-calls -D_AMD64_
                           -DTARVEL_WINDOWS_IMAGE>)
    set(libs ntoskrnl hal)
    if(ARG_USBD)
      list(APPEND libs usbd)
    endif()
    target_link_options(${name} PRIVATE -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry
                        -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
                        -Wl,--dynamicbase -Wl,--enable-reloc-section -Wl,--nxcompat -Wl,--high-entropy-va)
    target_link_libraries(${name} PRIVATE ${libs} gcc)
    # The linker cannot mark a section discardable; INIT is, as the driver kit's linker makes it, so
    # that the kernel frees it after DriverEntry. objcopy rewrites the header and the checksum.
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --set-section-flags INIT=alloc,load,readonly,code,contents,debug
              $<TARGET_FILE:${name}>
      VERBATIM)
  elseif(NOT TARGET tarvel_kernel OR NOT TARGET tarvel_ddk OR (ARG_USBD AND NOT TARGET tarvel_usbd))
    message(STATUS "${name}: the emulated platform is not there yet; module not built")
  else()
    tarvel_add_host_module(${name} ${name} ${CMAKE_BINARY_DIR}/drivers "${ARG_SOURCES}" "${ARG_INCLUDES}" ${ARG_USBD}
                           "${TARVEL_DRIVER_FLAGS};${TARVEL_DRIVER_ENTRY_HOOKS}")
    if(TARVEL_RACE_BUILD)
      # Its twin with data-race watchpoints (cmake/RaceBuild.cmake), same file name, in drivers-race/.
      tarvel_add_host_module(${name}_race ${name} ${TARVEL_RACE_DRIVER_DIR} "${ARG_SOURCES}" "${ARG_INCLUDES}"
                             ${ARG_USBD} "${TARVEL_DRIVER_FLAGS};${TARVEL_DRIVER_ENTRY_HOOKS};${TARVEL_RACE_DRIVER_FLAGS}")
    endif()
  endif()
endfunction()

# A driver module of the host build: target, file name (NAME.so), folder, and its compile flags.
function(tarvel_add_host_module target name dir sources includes usbd flags)
  add_library(${target} MODULE ${sources})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${name} LIBRARY_OUTPUT_DIRECTORY ${dir})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/comdriver/common ${includes})
  target_compile_options(${target} PRIVATE ${flags})
  target_link_libraries(${target} PRIVATE tarvel_ddk tarvel_kernel)
  if(usbd)
    target_link_libraries(${target} PRIVATE tarvel_usbd)
  endif()
  # Every symbol must resolve when the module is loaded, as on Windows.
  target_link_options(${target} PRIVATE -Wl,-z,defs)
endfunction()
