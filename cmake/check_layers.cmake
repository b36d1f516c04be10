# Checks that every include in the product's sources points down a layer and
# that OS headers stay in the two OS folders (docs/architecture.md, "Layers").
#
#   cmake -DSOURCE=<tree> -DSDK=<LZMA SDK folder> [-DEXPECT=<file>] -P check_layers.cmake
#
# Reads every .c, .cpp and .h under base/, archive/, cache/, launcher/,
# platform/ and tools/ of SOURCE and prints one line per violation,
# "file:line: <include>: why", failing when there is any. With EXPECT it
# prints them too, but passes only when they are exactly that file's lines:
# the check run over a tree of known violations, so that a check passing
# everything fails.
cmake_minimum_required(VERSION 3.16)

if(NOT SOURCE OR NOT IS_DIRECTORY "${SOURCE}")
  message(FATAL_ERROR "check_layers: give -DSOURCE=<tree>")
endif()

set(CORE platform base archive cache launcher)
# What each folder may include from the tree, by path prefix. The core's
# layers only point down; a tools folder uses the core, the tools' OS host and
# itself, and vorlane-pack builds on the inspection and the resource writer.
set(MAY_platform platform/)
set(MAY_base platform/ base/)
set(MAY_archive platform/ base/ archive/)
set(MAY_cache platform/ base/ archive/ cache/)
set(MAY_launcher platform/ base/ archive/ cache/ launcher/)
set(_tools_base platform/ base/ archive/ cache/ launcher/ tools/host/ tools/toolkit_version.h)
set(MAY_tools/host platform/ base/ archive/ cache/ launcher/ tools/host/)
set(MAY_tools/inspect ${_tools_base} tools/inspect/)
set(MAY_tools/resources ${_tools_base} tools/resources/)
set(MAY_tools/pack ${_tools_base} tools/pack/ tools/inspect/ tools/resources/)
set(FOLDERS platform base archive cache launcher tools/host tools/inspect tools/resources tools/pack)
# Made by the configure step, not in the tree.
set(GENERATED launcher/build_config.h tools/toolkit_version.h)

# Angle-bracket headers any file may include: the C++17 library and the C
# standard library (not <signal.h>, whose POSIX half is the OS: <csignal> has
# the standard part).
set(STANDARD
  algorithm any array atomic bitset cassert cctype cerrno cfenv cfloat charconv chrono cinttypes climits clocale
  cmath codecvt complex condition_variable csetjmp csignal cstdarg cstddef cstdint cstdio cstdlib cstring ctime
  cuchar cwchar cwctype deque exception execution filesystem forward_list fstream functional future
  initializer_list iomanip ios iosfwd iostream istream iterator limits list locale map memory memory_resource mutex
  new numeric optional ostream queue random ratio regex scoped_allocator set shared_mutex sstream stack stdexcept
  streambuf string string_view system_error thread tuple type_traits typeindex typeinfo unordered_map
  unordered_set utility valarray variant vector
  assert.h ctype.h errno.h fenv.h float.h inttypes.h iso646.h limits.h locale.h math.h setjmp.h stdalign.h
  stdarg.h stdbool.h stddef.h stdint.h stdio.h stdlib.h string.h time.h uchar.h wchar.h wctype.h)
# Third-party headers, by the folders that may use them.
set(SDK_FOLDERS platform archive tools/pack)         # the LZMA SDK (files of ${SDK}/C)
set(JSON_FOLDERS tools/inspect tools/pack)            # <nlohmann/...>
set(STB_FOLDERS tools/resources)                      # <stb_*.h>
set(INTRINSICS immintrin.h intrin.h cpuid.h)          # the CRC-32 kernels' only (archive/crc32_*)
set(OS_FOLDERS platform tools/host)

# Lists as they read in a message.
foreach(list SDK_FOLDERS JSON_FOLDERS STB_FOLDERS OS_FOLDERS)
  string(JOIN ", " ${list}_TEXT ${${list}})
endforeach()
foreach(folder ${FOLDERS})
  string(JOIN ", " MAY_${folder}_TEXT ${MAY_${folder}})
endforeach()

# The layer folder of a path relative to SOURCE ("" when none).
function(folder_of path out)
  set(found "")
  foreach(folder ${FOLDERS})
    string(LENGTH "${folder}/" length)
    string(SUBSTRING "${path}" 0 ${length} head)
    if(head STREQUAL "${folder}/")
      set(found ${folder})
    endif()
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

function(starts_with_any text prefixes out)
  set(result FALSE)
  foreach(prefix ${prefixes})
    string(LENGTH "${prefix}" length)
    string(SUBSTRING "${text}" 0 ${length} head)
    if(head STREQUAL prefix)
      set(result TRUE)
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# Whether name is one of the LZMA SDK's headers (not its Windows one).
function(is_sdk_header name out)
  set(result FALSE)
  if(SDK AND NOT name STREQUAL "7zWindows.h" AND NOT name MATCHES "/" AND EXISTS "${SDK}/C/${name}")
    set(result TRUE)
  endif()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# Why the include in file (relative), of folder, is not allowed; "" when it is.
function(judge file folder kind name out)
  set(why "")
  list(FIND OS_FOLDERS ${folder} os_index)
  if(kind STREQUAL "\"")
    is_sdk_header("${name}" sdk)
    if(sdk)
      list(FIND SDK_FOLDERS ${folder} index)
      if(index LESS 0)
        set(why "the LZMA SDK is used by ${SDK_FOLDERS_TEXT} only")
      endif()
    elseif(EXISTS "${SOURCE}/${name}" OR name IN_LIST GENERATED)
      starts_with_any("${name}" "${MAY_${folder}}" allowed)
      if(NOT allowed)
        set(why "${folder}/ may include only ${MAY_${folder}_TEXT}")
      endif()
    elseif(os_index LESS 0)
      set(why "neither in the tree nor a known header: an OS header, allowed in ${OS_FOLDERS_TEXT} only")
    endif()
  else()
    get_filename_component(base "${file}" NAME)
    is_sdk_header("${name}" sdk)
    if(name IN_LIST STANDARD)
      # the standard library: anywhere
    elseif(name IN_LIST INTRINSICS)
      if(NOT (folder STREQUAL "archive" AND base MATCHES "^crc32_"))
        set(why "compiler intrinsics belong to the CRC-32 kernels (archive/crc32_*) only")
      endif()
    elseif(sdk)
      list(FIND SDK_FOLDERS ${folder} index)
      if(index LESS 0)
        set(why "the LZMA SDK is used by ${SDK_FOLDERS_TEXT} only")
      endif()
    elseif(name MATCHES "^nlohmann/")
      list(FIND JSON_FOLDERS ${folder} index)
      if(index LESS 0)
        set(why "nlohmann-json is used by ${JSON_FOLDERS_TEXT} only")
      endif()
    elseif(name MATCHES "^stb_[a-z_]+\\.h$")
      list(FIND STB_FOLDERS ${folder} index)
      if(index LESS 0)
        set(why "stb is used by ${STB_FOLDERS_TEXT} only")
      endif()
    elseif(os_index LESS 0)
      set(why "an OS header: allowed in ${OS_FOLDERS_TEXT} only")
    endif()
  endif()
  set(${out} "${why}" PARENT_SCOPE)
endfunction()

set(found_lines "")
set(globs "")
foreach(top base archive cache launcher platform tools)
  foreach(ext c cpp h)
    list(APPEND globs "${top}/*.${ext}")
  endforeach()
endforeach()
list(TRANSFORM globs PREPEND "${SOURCE}/")
file(GLOB_RECURSE files RELATIVE "${SOURCE}" LIST_DIRECTORIES false ${globs})
list(SORT files)

foreach(file ${files})
  folder_of("${file}" folder)
  if(folder STREQUAL "")
    list(APPEND found_lines "${file}:1: -: no layer rule covers this folder (docs/architecture.md, Layers)")
    continue()
  endif()
  file(READ "${SOURCE}/${file}" content)
  # One list element per line: CMake's list separator and brackets made harmless first.
  string(REPLACE ";" "," content "${content}")
  string(REPLACE "[" "(" content "${content}")
  string(REPLACE "]" ")" content "${content}")
  string(REPLACE "\\" "/" content "${content}")
  string(REPLACE "\n" ";" lines "${content}")
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*([<\"])([^>\"]+)[>\"]")
      set(kind "${CMAKE_MATCH_1}")
      set(name "${CMAKE_MATCH_2}")
      judge("${file}" ${folder} "${kind}" "${name}" why)
      if(NOT why STREQUAL "")
        if(kind STREQUAL "<")
          set(shown "<${name}>")
        else()
          set(shown "\"${name}\"")
        endif()
        list(APPEND found_lines "${file}:${number}: ${shown}: ${why}")
      endif()
    endif()
  endforeach()
endforeach()

foreach(line IN LISTS found_lines)
  message("${line}")
endforeach()
list(LENGTH files checked)
if(EXPECT)
  file(STRINGS "${EXPECT}" expected)
  if(NOT found_lines STREQUAL expected)
    string(REPLACE ";" "\n  " want "${expected}")
    message(FATAL_ERROR "check_layers: the violations differ from the expected ones:\n  ${want}")
  endif()
  message("check_layers: found exactly the expected violations in ${checked} files")
elseif(found_lines)
  list(LENGTH found_lines count)
  message(FATAL_ERROR "check_layers: ${count} includes break the layers (docs/architecture.md, Layers)")
else()
  message("check_layers: every include of ${checked} files points down a layer; OS headers only in ${OS_FOLDERS_TEXT}")
endif()
