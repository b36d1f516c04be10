# Release builds are what packagers ship (the launcher and the Windows tools
# from the Windows tree, the Linux tools from a native one): no symbols or
# debug info, no build-machine paths, no link timestamp, so the same sources
# built in any folder give the same bytes (tests/wine/test_release.py
# compares two builds).
set(VORLANE_RELEASE OFF)
if(CMAKE_BUILD_TYPE STREQUAL "Release")
  set(VORLANE_RELEASE ON)
  # __FILE__ and any path the compiler records name the source tree relatively.
  # C and C++ only: the assembler of the CRC kernels knows no such option.
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>"
                      "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>")
  add_link_options(-s)
  if(WIN32)
    add_link_options(LINKER:--no-insert-timestamp)
  endif()
endif()

# The LZMA SDK may live outside the source tree (LZMA_SDK_DIR).
function(vorlane_release_sdk_paths)
  if(VORLANE_RELEASE)
    target_compile_options(lzma_sdk PRIVATE "-ffile-prefix-map=${LZMA_SDK_DIR}/=lzma-sdk/")
    target_compile_options(lzma_sdk_hash PRIVATE "-ffile-prefix-map=${LZMA_SDK_DIR}/=lzma-sdk/")
  endif()
endfunction()

# A Windows version is four numbers of 16 bits each: a larger part would wrap.
function(vorlane_check_version version)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "VORLANE_VERSION must be four numbers a.b.c.d, not '${version}'")
  endif()
  foreach(i 1 2 3 4)
    string(LENGTH "${CMAKE_MATCH_${i}}" digits)
    if(digits GREATER 5 OR CMAKE_MATCH_${i} GREATER 65535)
      message(FATAL_ERROR "VORLANE_VERSION '${version}': each part must be 0 to 65535")
    endif()
  endforeach()
endfunction()
