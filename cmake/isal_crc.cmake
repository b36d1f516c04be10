# ISA-L's CRC-32 kernels (the CRC-32 that 7z records) as a static library, for
# the launcher's file checks: VPCLMULQDQ over AVX-512 (crc32_gzip_refl_by16_10)
# and 128-bit PCLMULQDQ with AVX (_by8_02) or SSE4.1 (_by8), each a self-contained
# assembly file. archive/crc32_dispatch.cpp calls them directly and chooses among
# them, our own 256-bit kernel (archive/crc32_avx2.cpp) and the SDK's table, so
# ISA-L's dispatcher (it has no 256-bit kernel), its table and its other CRCs
# are not built.
set(ISAL_DIR "${CMAKE_SOURCE_DIR}/third_party/isa-l" CACHE PATH
    "ISA-L root (the folder that holds crc/crc_multibinary.asm); scripts/bootstrap.sh fetches it")
if(NOT EXISTS "${ISAL_DIR}/crc/crc_multibinary.asm")
  message(FATAL_ERROR "ISA-L not found in ${ISAL_DIR}: run scripts/bootstrap.sh or pass -DISAL_DIR=")
endif()
if(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  message(FATAL_ERROR "ISA-L's CRC kernels are built for x86-64 only, not ${CMAKE_SYSTEM_PROCESSOR}")
endif()
enable_language(ASM_NASM)

set(_isal_crc "${ISAL_DIR}/crc")
set(_isal_asm crc32_gzip_refl_by8 crc32_gzip_refl_by8_02 crc32_gzip_refl_by16_10)
list(TRANSFORM _isal_asm PREPEND "${_isal_crc}/")
list(TRANSFORM _isal_asm APPEND ".asm")
add_library(isal_crc STATIC ${_isal_asm})
# Feature level 10: the AVX-512 kernel is assembled (nasm 2.14 or later).
target_compile_options(isal_crc PRIVATE -DHAVE_AS_KNOWS_AVX512 -DAS_FEATURE_LEVEL=10 -I${ISAL_DIR}/include/)
set_target_properties(isal_crc PROPERTIES LINKER_LANGUAGE C POSITION_INDEPENDENT_CODE ON)
