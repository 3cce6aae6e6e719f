# The configuration that builds the whole-stack fuzz targets (TARVEL_TARGET=fuzz, clang): the emulated
# platform, the driver modules and tests/fuzz, every object with libFuzzer's coverage and the sanitizers;
# the fuzz programs link libFuzzer itself (-fsanitize=fuzzer, tests/fuzz).
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "TARVEL_TARGET=fuzz needs clang (libFuzzer's coverage); CMAKE_CXX_COMPILER is ${CMAKE_CXX_COMPILER}")
endif()
set(TARVEL_FUZZ_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=undefined)
add_compile_options(-O1 -gline-tables-only -fno-omit-frame-pointer -fsanitize=fuzzer-no-link ${TARVEL_FUZZ_SANITIZERS}
                    -fshort-wchar -fPIC
                    # clang's warnings differ from g++'s; g++ holds the tree to -Werror, here they only warn.
                    -Wno-error)
add_link_options(${TARVEL_FUZZ_SANITIZERS})
# The driver-kit header gives the wide-character C routines assembler names of their own (wdm/crt.h).
# g++ accepts that after a standard header has used the host's names; clang accepts it only before the
# first use, and takes the names' definitions in the kernel only from a system header. So here every
# translation unit reads those declarations first, and the driver-kit headers are system headers.
include_directories(SYSTEM ${CMAKE_SOURCE_DIR}/platform/ddk)
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include wdm/crt.h>")

foreach(dir platform comdriver tests/fuzz)
  add_subdirectory(${dir})
endforeach()

# clang links the sanitizer and coverage runtimes into the executable only, which exports them to the
# shared objects at run time: a shared object cannot resolve every symbol when it is linked.
foreach(target tarvel_kernel tarvel_usbd tarvelpipe tarvelport)
  if(TARGET ${target})
    get_target_property(options ${target} LINK_OPTIONS)
    if(options)
      list(REMOVE_ITEM options -Wl,-z,defs)
      set_target_properties(${target} PROPERTIES LINK_OPTIONS "${options}")
    endif()
  endif()
endforeach()
