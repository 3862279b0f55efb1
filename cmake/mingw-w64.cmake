# Cross-compiles for 64-bit Windows with Debian's mingw-w64 compilers (the
# POSIX thread model, which std::thread needs). Programs are linked
# statically, so they run without any DLL beside them, and they are run
# under Wine wherever CMake runs a built program (tests, test discovery).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FLASHMERE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FLASHMERE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FLASHMERE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${FLASHMERE_MINGW_TRIPLE}-windres)

# Libraries and headers only from the Windows sysroot, tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${FLASHMERE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
# -O2 as the Linux presets. This GCC 12 warns falsely about memcpy and
# memcmp inlined from the standard library's string and vector code
# (-Wrestrict, -Warray-bounds, -Wstringop-overread; more of them at -O3), and
# the preset's warnings are errors: those three are left to the Linux builds,
# where the same code compiles without them.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of a Release build")
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict -Wno-array-bounds -Wno-stringop-overread")

# Debian puts the Wine loader in Wine's library folder, not on PATH.
find_program(FLASHMERE_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine
             DOC "Wine loader that runs the Windows test programs")
if(FLASHMERE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FLASHMERE_WINE})
endif()

# Qt for Windows (a static Qt prefix, built by scripts/build-qt-windows.sh),
# named by the cache or environment variable FLASHMERE_QT_WINDOWS. Its
# tools (moc, uic) are the host's own Qt of the same version.
if(NOT FLASHMERE_QT_WINDOWS AND DEFINED ENV{FLASHMERE_QT_WINDOWS})
  set(FLASHMERE_QT_WINDOWS "$ENV{FLASHMERE_QT_WINDOWS}")
endif()
if(FLASHMERE_QT_WINDOWS)
  get_filename_component(FLASHMERE_QT_WINDOWS "${FLASHMERE_QT_WINDOWS}" ABSOLUTE)
  set(FLASHMERE_QT_WINDOWS "${FLASHMERE_QT_WINDOWS}" CACHE PATH "Qt prefix for Windows" FORCE)
  list(APPEND CMAKE_FIND_ROOT_PATH "${FLASHMERE_QT_WINDOWS}")
  list(APPEND CMAKE_PREFIX_PATH "${FLASHMERE_QT_WINDOWS}")
  set(QT_HOST_PATH /usr CACHE PATH "Host Qt for moc and uic")
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "Host Qt's CMake files")
endif()
