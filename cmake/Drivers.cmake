# tarvel_add_driver(NAME SOURCES ... [USBD])
#
# Builds one kernel-mode driver from the same sources for whichever target this tree is configured for:
#  - windows: NAME.sys, a PE32+ native image with entry DriverEntry that imports only from
#    ntoskrnl.exe, HAL.dll (and USBD.SYS with USBD);
#  - host:    NAME.so, a module that the emulated kernel's loader opens at run time; it may only use
#    what the emulated kernel (and its USB library) exports.
set(TARVEL_DRIVER_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-asynchronous-unwind-tables)

function(tarvel_add_driver name)
  cmake_parse_arguments(ARG "USBD" "" "SOURCES;INCLUDES" ${ARGN})
  if(TARVEL_TARGET STREQUAL "windows")
    add_library(${name} SHARED ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".sys")
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/comdriver/common ${ARG_INCLUDES})
    target_include_directories(${name} SYSTEM PRIVATE ${TARVEL_DDK_INCLUDE})
    target_compile_options(${name} PRIVATE ${TARVEL_DRIVER_FLAGS} -ffreestanding -fno-stack-protector
                           -mno-stack-arg-probe -D_AMD64_ -DTARVEL_WINDOWS_IMAGE)
    set(libs ntoskrnl hal)
    if(ARG_USBD)
      list(APPEND libs usbd)
    endif()
    target_link_options(${name} PRIVATE -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry
                        -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000)
    target_link_libraries(${name} PRIVATE ${libs} gcc)
  elseif(NOT TARGET tarvel_kernel OR NOT TARGET tarvel_ddk OR (ARG_USBD AND NOT TARGET tarvel_usbd))
    message(STATUS "${name}: the emulated platform is not there yet; module not built")
  else()
    add_library(${name} MODULE ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/drivers)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/comdriver/common ${ARG_INCLUDES})
    target_compile_options(${name} PRIVATE ${TARVEL_DRIVER_FLAGS})
    target_link_libraries(${name} PRIVATE tarvel_ddk tarvel_kernel)
    if(ARG_USBD)
      target_link_libraries(${name} PRIVATE tarvel_usbd)
    endif()
    # Every symbol must resolve when the module is loaded, as on Windows.
    target_link_options(${name} PRIVATE -Wl,-z,defs)
  endif()
endfunction()
