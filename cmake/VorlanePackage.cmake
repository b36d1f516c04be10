# VorlanePackage.cmake: packs a Windows application with vorlane-pack as part
# of a CMake build. It lies beside vorlane-pack in the toolkit's bundles
# (Linux and Windows); include it from there:
#
#   include(/opt/vorlane-1.0.0-linux-x64/VorlanePackage.cmake)
#   vorlane_add_package(TARGET app_package
#       RUNTIME VorlaneStub              # a target of this project, or a file
#       PAYLOAD ${CMAKE_BINARY_DIR}/app.bin   # a file, or a target whose file is the payload
#       OUTPUT ExampleViewer.exe
#       [SETTINGS 4=FALSE 5=NO 6=Y]      # strings 4, 5 and 6 (--setting4 ...); "4=" leaves one out
#       [PUBLISHER "Example Software Ltd"]
#       [TRUST_ROOT pki/root.pem ...]    # Linux: the check also verifies the chain against these
#       [SIGN_COMMAND "osslsigncode sign ... -in {in} -out {out}"]
#       [OPTIONS --icon art/logo.png --file-version 2.3.0.17 ...]  # any other vorlane-pack options
#       [DEPENDS art/logo.png ...])      # files OPTIONS names, so a change to them packs again
#
# As with add_custom_command, relative input paths (and those in OPTIONS and
# SIGN_COMMAND) are taken from the current source folder, a relative OUTPUT
# from the current binary folder. TARGET (part of "all") runs vorlane-pack
# when the runtime target has been built, and again only when an input
# changed. vorlane-pack checks what it writes with the launcher's own code: a
# package the launcher would refuse fails the build, and nothing is written.
# VORLANE_PACK names another vorlane-pack (default: the one beside this
# file). The guide is docs/packaging.md in the bundle.
cmake_minimum_required(VERSION 3.16)
include_guard(GLOBAL)

if(CMAKE_HOST_WIN32)
  set(_vorlane_pack_name vorlane-pack.exe)
else()
  set(_vorlane_pack_name vorlane-pack)
endif()
set(VORLANE_PACK "${CMAKE_CURRENT_LIST_DIR}/${_vorlane_pack_name}" CACHE FILEPATH
    "The vorlane-pack program vorlane_add_package runs")

# A path as the build will see it, a relative one taken from base.
function(_vorlane_absolute out path base)
  get_filename_component(absolute "${path}" ABSOLUTE BASE_DIR "${base}")
  set(${out} "${absolute}" PARENT_SCOPE)
endfunction()

function(vorlane_add_package)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "TARGET;RUNTIME;PAYLOAD;OUTPUT;PUBLISHER;SIGN_COMMAND"
                        "SETTINGS;TRUST_ROOT;OPTIONS;DEPENDS")
  foreach(required TARGET RUNTIME PAYLOAD OUTPUT)
    if(NOT arg_${required})
      message(FATAL_ERROR "vorlane_add_package: ${required} is required")
    endif()
  endforeach()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "vorlane_add_package: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT EXISTS "${VORLANE_PACK}")
    message(FATAL_ERROR "vorlane_add_package: no vorlane-pack at ${VORLANE_PACK}: include this module from the "
                        "unpacked bundle, or set VORLANE_PACK")
  endif()

  # A target of this project gives its file, and the package waits for its build.
  set(depends "${VORLANE_PACK}")
  foreach(input RUNTIME PAYLOAD)
    if(TARGET "${arg_${input}}")
      set(${input}_file "$<TARGET_FILE:${arg_${input}}>")
      list(APPEND depends "${arg_${input}}")
    else()
      _vorlane_absolute(${input}_file "${arg_${input}}" "${CMAKE_CURRENT_SOURCE_DIR}")
      list(APPEND depends "${${input}_file}")
    endif()
  endforeach()
  foreach(file IN LISTS arg_DEPENDS)
    _vorlane_absolute(file "${file}" "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND depends "${file}")
  endforeach()
  _vorlane_absolute(output "${arg_OUTPUT}" "${CMAKE_CURRENT_BINARY_DIR}")

  set(command "${VORLANE_PACK}" --payload "${PAYLOAD_file}" --runtime "${RUNTIME_file}" -o "${output}")
  foreach(setting IN LISTS arg_SETTINGS)
    if(NOT setting MATCHES "^([456])=(.*)$")
      message(FATAL_ERROR "vorlane_add_package: SETTINGS takes 4=TEXT, 5=TEXT and 6=TEXT, not '${setting}'")
    endif()
    list(APPEND command "--setting${CMAKE_MATCH_1}=${CMAKE_MATCH_2}")
  endforeach()
  if(DEFINED arg_PUBLISHER)
    list(APPEND command --publisher "${arg_PUBLISHER}")
  endif()
  foreach(root IN LISTS arg_TRUST_ROOT)
    _vorlane_absolute(root "${root}" "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND command --trust-root "${root}")
    list(APPEND depends "${root}")
  endforeach()
  if(DEFINED arg_SIGN_COMMAND)
    list(APPEND command --sign-command "${arg_SIGN_COMMAND}")
  endif()
  list(APPEND command ${arg_OPTIONS})

  get_filename_component(folder "${output}" DIRECTORY)
  add_custom_command(OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${folder}"
    COMMAND ${command}
    DEPENDS ${depends}
    WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
    COMMENT "Packing ${arg_TARGET} with vorlane-pack"
    VERBATIM)
  add_custom_target(${arg_TARGET} ALL DEPENDS "${output}")
endfunction()
