# ISA-L's CRC functions as a static library, for the launcher's file checks
# (crc32_gzip_refl: the CRC-32 that 7z records). Its dispatcher picks, at the
# first call, the widest kernel the CPU and the OS allow: VPCLMULQDQ over
# AVX-512, PCLMULQDQ with AVX or SSE4.1, else the table in crc_base.c. The
# dispatcher names every CRC of the family, so all their kernels come along
# (a few tens of KB); nothing else of ISA-L is built.
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
set(_isal_asm
  crc_multibinary crc32_gzip_refl_by8 crc32_gzip_refl_by8_02 crc32_gzip_refl_by16_10
  crc32_ieee_01 crc32_ieee_02 crc32_ieee_by4 crc32_ieee_by16_10
  crc32_iscsi_00 crc32_iscsi_01 crc32_iscsi_by16_10
  crc16_t10dif_01 crc16_t10dif_02 crc16_t10dif_by4 crc16_t10dif_by16_10
  crc16_t10dif_copy_by4 crc16_t10dif_copy_by4_02)
list(TRANSFORM _isal_asm PREPEND "${_isal_crc}/")
list(TRANSFORM _isal_asm APPEND ".asm")
add_library(isal_crc STATIC ${_isal_asm} ${_isal_crc}/crc_base.c)
target_include_directories(isal_crc SYSTEM PUBLIC ${ISAL_DIR}/include)
# Feature level 10: the AVX-512 kernels are assembled (nasm 2.14 or later).
target_compile_options(isal_crc PRIVATE
  $<$<COMPILE_LANGUAGE:ASM_NASM>:-DHAVE_AS_KNOWS_AVX512 -DAS_FEATURE_LEVEL=10 -I${ISAL_DIR}/include/>
  $<$<COMPILE_LANGUAGE:C>:-w>)
set_target_properties(isal_crc PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE ON)
