# The CMake module of the Linux bundle, as a packager's build uses it: run with
#   cmake -DBUNDLE=<unpacked Linux bundle> -DRUNTIME_DLL=<runtime library>
#         -DWORK=<scratch folder> -P check.cmake
# It makes a throwaway authority, configures and builds the project beside
# this file (which packs two packages through vorlane_add_package), checks
# both with the bundle's vorlane-inspect against that authority's root, then
# builds again: nothing is packed when nothing changed, only the package whose
# payload changed when its seed changes, and both when the runtime changes.
cmake_minimum_required(VERSION 3.19)
foreach(name BUNDLE RUNTIME_DLL WORK)
  if(NOT DEFINED ${name})
    message(FATAL_ERROR "check.cmake needs -D${name}=...")
  endif()
endforeach()
if(NOT EXISTS "${BUNDLE}/VorlanePackage.cmake")
  message(FATAL_ERROR "no ${BUNDLE}/VorlanePackage.cmake: run scripts/release.sh first")
endif()
if(NOT EXISTS "${RUNTIME_DLL}")
  message(FATAL_ERROR "no ${RUNTIME_DLL}: build the win64 tree first (scripts/build.sh)")
endif()

file(REMOVE_RECURSE "${WORK}")
set(pki "${WORK}/pki")
file(MAKE_DIRECTORY "${pki}")
# A root and a code-signing certificate it issued (SHA-1: the guide says why).
file(WRITE "${pki}/signer.ext" "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=codeSigning\n")
foreach(step
    "req;-x509;-newkey;rsa:2048;-nodes;-sha1;-days;2;-keyout;root.key;-out;root.pem;-subj;/CN=Example Test Root"
    "req;-newkey;rsa:2048;-nodes;-keyout;signer.key;-out;signer.csr;-subj;/CN=Example Software Ltd"
    "x509;-req;-sha1;-days;2;-in;signer.csr;-CA;root.pem;-CAkey;root.key;-set_serial;2;-extfile;signer.ext;\
-out;signer.pem")
  execute_process(COMMAND openssl ${step} WORKING_DIRECTORY "${pki}" OUTPUT_QUIET ERROR_VARIABLE err
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "openssl ${step}: ${err}")
  endif()
endforeach()
file(READ "${pki}/signer.pem" leaf)
file(READ "${pki}/root.pem" root)
file(WRITE "${pki}/chain.pem" "${leaf}${root}")
file(WRITE "${WORK}/seed.txt" "first payload\n")
# A copy of the runtime, which this test may touch.
file(COPY "${RUNTIME_DLL}" DESTINATION "${WORK}")
get_filename_component(runtime "${RUNTIME_DLL}" NAME)
set(runtime "${WORK}/${runtime}")

# One build of the project; its output in *out.
function(build out)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${WORK}/build" OUTPUT_VARIABLE text ERROR_VARIABLE text
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the build failed:\n${text}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# vorlane-inspect accepts the package; the report holds each of the texts.
function(inspect exe)
  execute_process(COMMAND "${BUNDLE}/vorlane-inspect" --trust-root "${pki}/root.pem" "${exe}"
                  OUTPUT_VARIABLE report ERROR_VARIABLE report RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT report MATCHES "\nverdict +ok\n" OR NOT report MATCHES "\ntrust +the signature's chain")
    message(FATAL_ERROR "vorlane-inspect ${exe}: status ${rc}\n${report}")
  endif()
  foreach(text IN LISTS ARGN)
    string(FIND "${report}" "${text}" at)
    if(at LESS 0)
      message(FATAL_ERROR "vorlane-inspect ${exe}: no '${text}' in\n${report}")
    endif()
  endforeach()
endfunction()

execute_process(COMMAND "${CMAKE_COMMAND}" -S "${CMAKE_CURRENT_LIST_DIR}" -B "${WORK}/build"
                        "-DVORLANE_BUNDLE=${BUNDLE}" "-DRUNTIME_DLL=${runtime}" "-DPKI=${pki}"
                        "-DSEED=${WORK}/seed.txt"
                OUTPUT_VARIABLE text ERROR_VARIABLE text RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configuring the project failed:\n${text}")
endif()

build(first)
inspect("${WORK}/build/App.exe" "settings 4 \"vier\", 5 \"fünf\", 6 (none); publisher \"Example Software Ltd\""
        "version 2.3.0.17" "ProductName \"App\"" "signed by \"Example Software Ltd\"")
inspect("${WORK}/build/out/Other.exe" "publisher \"Example Software Ltd\"" "OriginalFilename \"Other.exe\"")

build(again)
if(again MATCHES "Packing")
  message(FATAL_ERROR "a build with nothing changed packed again:\n${again}")
endif()

file(WRITE "${WORK}/seed.txt" "second payload, longer than the first\n")
build(changed)
if(NOT changed MATCHES "Packing app with" OR changed MATCHES "Packing other with")
  message(FATAL_ERROR "a changed payload should pack its package again, and only that one:\n${changed}")
endif()
inspect("${WORK}/build/App.exe")

file(TOUCH "${runtime}")
build(rebuilt)
if(NOT rebuilt MATCHES "Packing app with" OR NOT rebuilt MATCHES "Packing other with")
  message(FATAL_ERROR "a changed runtime should pack both packages again:\n${rebuilt}")
endif()
message(STATUS "both packages packed through VorlanePackage.cmake and accepted")
