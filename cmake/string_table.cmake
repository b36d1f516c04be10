# The launcher's string table as resource-compiler text: settings 4, 5 and 6
# and the publisher (7); an empty value leaves its string out. The ids repeat
# base/names.h (StringId), which CMake cannot read: change both together.
function(vorlane_string_table out setting4 setting5 setting6 publisher)
  set(_value_4 "${setting4}")
  set(_value_5 "${setting5}")
  set(_value_6 "${setting6}")
  set(_value_7 "${publisher}")
  set(_strings "")
  # One variable per id, never a list: a value may hold ';' or end in '\'.
  foreach(id 4 5 6 7)
    if(NOT "${_value_${id}}" STREQUAL "")
      # rc string literals: a backslash starts an escape, a double quote is doubled.
      # Narrow literals: windres reads them as UTF-8 (the .rc sets code page 65001)
      # but mangles non-ASCII bytes inside L"...".
      string(REPLACE "\\" "\\\\" _v "${_value_${id}}")
      string(REPLACE "\"" "\"\"" _v "${_v}")
      string(APPEND _strings "  ${id}, \"${_v}\"\n")
    endif()
  endforeach()
  set(_table "")
  if(NOT _strings STREQUAL "")
    set(_table "STRINGTABLE\nBEGIN\n${_strings}END\n")
  endif()
  set(${out} "${_table}" PARENT_SCOPE)
endfunction()
