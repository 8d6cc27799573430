# The two libraries the program is built on: libcurl (found as a CMake package) and the LZMA
# SDK's 7z decoder (compiled here from its C sources). scripts/setup.sh builds and locates both;
# on Windows with MSVC, point CURL_DIR (or CMAKE_PREFIX_PATH) and LZMA_SDK_DIR at them.

find_package(CURL REQUIRED)
if(NOT TARGET CURL::libcurl)
  message(FATAL_ERROR "libcurl was found without its CURL::libcurl target")
endif()

set(LZMA_SDK_DIR "" CACHE PATH "The LZMA SDK's C folder (the one holding 7zDec.c)")
if(NOT EXISTS "${LZMA_SDK_DIR}/7zDec.c")
  message(FATAL_ERROR "LZMA_SDK_DIR must name the LZMA SDK's C folder; got '${LZMA_SDK_DIR}'")
endif()

# The files the SDK's own 7z extractor (Util/7z) is made of.
set(LZMA_DECODER_SOURCES
  7zAlloc.c 7zBuf.c 7zBuf2.c 7zFile.c 7zDec.c 7zArcIn.c 7zStream.c 7zCrc.c 7zCrcOpt.c
  Bcj2.c Bra.c Bra86.c BraIA64.c CpuArch.c Delta.c Lzma2Dec.c LzmaDec.c Ppmd7.c Ppmd7Dec.c)
list(TRANSFORM LZMA_DECODER_SOURCES PREPEND "${LZMA_SDK_DIR}/")
add_library(lzma_decoder STATIC ${LZMA_DECODER_SOURCES})
target_include_directories(lzma_decoder SYSTEM PUBLIC "${LZMA_SDK_DIR}")
target_compile_definitions(lzma_decoder PUBLIC Z7_PPMD_SUPPORT Z7_EXTRACT_ONLY)
