# The LZMA SDK's 7z decoder as a static C library: decoder files only, with the
# Copy, LZMA, LZMA2 and BCJ2 coders and the branch/Delta filters. PPMd is left
# out (Z7_PPMD_SUPPORT undefined), so a PPMd folder fails as unsupported (4).
set(LZMA_SDK_DIR "${CMAKE_SOURCE_DIR}/third_party/7zip" CACHE PATH
    "LZMA SDK root (the folder that holds C/7zArcIn.c); scripts/bootstrap.sh fetches it")
if(NOT EXISTS "${LZMA_SDK_DIR}/C/7zArcIn.c")
  message(FATAL_ERROR "LZMA SDK not found in ${LZMA_SDK_DIR}: run scripts/bootstrap.sh or pass -DLZMA_SDK_DIR=")
endif()
# The oldest SDK this code builds with (scripts/bootstrap.sh reads the number
# here): SHA-512 and SHA-384 (Sha512.c, Sha512_Init with a digest size) came
# with 24.09; the *Ptr stream interfaces, the Z7_ macros and the BCJ2 encoder
# the tools call with 23.01.
set(LZMA_SDK_MIN_VERSION 24.09)
set(_sdk_version "")
if(EXISTS "${LZMA_SDK_DIR}/C/7zVersion.h")
  file(STRINGS "${LZMA_SDK_DIR}/C/7zVersion.h" _sdk_version REGEX "^#define MY_VER_(MAJOR|MINOR) +[0-9]+ *$")
endif()
string(REGEX REPLACE ".*MY_VER_MAJOR +([0-9]+).*" "\\1" _sdk_major "${_sdk_version}")
string(REGEX REPLACE ".*MY_VER_MINOR +([0-9]+).*" "\\1" _sdk_minor "${_sdk_version}")
if(NOT _sdk_major MATCHES "^[0-9]+$" OR NOT _sdk_minor MATCHES "^[0-9]+$")
  message(FATAL_ERROR "LZMA SDK in ${LZMA_SDK_DIR}: no version in C/7zVersion.h; this code needs "
                      "${LZMA_SDK_MIN_VERSION} or newer (run scripts/bootstrap.sh or pass -DLZMA_SDK_DIR=)")
endif()
math(EXPR _sdk_minor "${_sdk_minor}")  # no leading zeros
if(_sdk_minor LESS 10)
  set(_sdk_minor "0${_sdk_minor}")
endif()
# Cached for scripts/release.sh, whose notices name the version the programs were built with.
set(LZMA_SDK_VERSION "${_sdk_major}.${_sdk_minor}" CACHE INTERNAL "The LZMA SDK's version (C/7zVersion.h)")
if(LZMA_SDK_VERSION VERSION_LESS LZMA_SDK_MIN_VERSION)
  message(FATAL_ERROR "LZMA SDK ${LZMA_SDK_VERSION} in ${LZMA_SDK_DIR}: this code needs ${LZMA_SDK_MIN_VERSION} or "
                      "newer (SHA-512, the stream interfaces of 23.01). scripts/bootstrap.sh fetches Debian's current "
                      "7zip source (enable the bookworm-security suite if it offers an older one), or pass "
                      "-DLZMA_SDK_DIR= an SDK of ${LZMA_SDK_MIN_VERSION} or newer.")
endif()
message(STATUS "LZMA SDK ${LZMA_SDK_VERSION} in ${LZMA_SDK_DIR}")
set(_sdk "${LZMA_SDK_DIR}/C")
add_library(lzma_sdk STATIC
  ${_sdk}/7zArcIn.c ${_sdk}/7zBuf.c ${_sdk}/7zDec.c ${_sdk}/7zStream.c ${_sdk}/7zAlloc.c
  ${_sdk}/Bcj2.c ${_sdk}/Bra.c ${_sdk}/Bra86.c ${_sdk}/BraIA64.c ${_sdk}/Delta.c
  ${_sdk}/LzmaDec.c ${_sdk}/Lzma2Dec.c ${_sdk}/7zCrc.c ${_sdk}/7zCrcOpt.c ${_sdk}/CpuArch.c)
target_include_directories(lzma_sdk SYSTEM PUBLIC ${_sdk})
set_target_properties(lzma_sdk PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE ON)
# Third-party code: its own warnings are not ours to fix.
target_compile_options(lzma_sdk PRIVATE -w)

# The SDK's SHA-1, SHA-256 and SHA-512 (with their SHA-NI/ARM kernels, chosen
# at run time): the Authenticode digests of the pinned runtime library. A
# library of its own, so only what hashes links it.
add_library(lzma_sdk_hash STATIC ${_sdk}/Sha1.c ${_sdk}/Sha1Opt.c ${_sdk}/Sha256.c ${_sdk}/Sha256Opt.c
  ${_sdk}/Sha512.c ${_sdk}/Sha512Opt.c)
target_include_directories(lzma_sdk_hash SYSTEM PUBLIC ${_sdk})
target_link_libraries(lzma_sdk_hash PUBLIC lzma_sdk)  # CpuArch.c
set_target_properties(lzma_sdk_hash PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE ON)
target_compile_options(lzma_sdk_hash PRIVATE -w)

# The SDK's encoders for the packaging tools (never linked into the launcher):
# BCJ2 and LZMA with the match finder on a thread of its own, as 7zz runs it.
add_library(lzma_sdk_encoder STATIC
  ${_sdk}/Bcj2Enc.c ${_sdk}/LzmaEnc.c ${_sdk}/LzFind.c ${_sdk}/LzFindOpt.c ${_sdk}/LzFindMt.c ${_sdk}/Threads.c)
target_include_directories(lzma_sdk_encoder SYSTEM PUBLIC ${_sdk})
set_target_properties(lzma_sdk_encoder PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE ON)
target_compile_options(lzma_sdk_encoder PRIVATE -w)
if(VORLANE_RELEASE)
  target_compile_options(lzma_sdk_encoder PRIVATE "-ffile-prefix-map=${LZMA_SDK_DIR}/=lzma-sdk/")
endif()
if(VORLANE_SANITIZED)
  # The SDK's own idioms: unaligned loads, and the match finder's shift of a
  # negative ptrdiff_t (LzFindOpt.c), which every compiler it targets defines.
  target_compile_options(lzma_sdk_encoder PRIVATE -fno-sanitize=alignment,shift)
endif()
# CpuArch.c (the match finder's CPU checks) comes with the decoder's library;
# Threads.c runs the Win32 threads on Windows and pthreads elsewhere.
target_link_libraries(lzma_sdk_encoder PUBLIC lzma_sdk)
if(NOT WIN32)
  find_package(Threads REQUIRED)
  target_link_libraries(lzma_sdk_encoder PUBLIC Threads::Threads)
endif()
