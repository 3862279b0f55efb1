#!/usr/bin/env bash
# Builds the Qt for Windows that the windows-full preset links against: Qt
# 6.4.2 qtbase (Core, Gui, Widgets, Network, Test; the windows, offscreen
# and minimal platforms; the Windows styles), static, with Debian's
# mingw-w64 from Debian's own qt6-base source package, using this machine's
# Qt 6.4.2 for its tools (moc, uic, rcc).
#
#   scripts/build-qt-windows.sh PREFIX [WORK]
#   FLASHMERE_QT_WINDOWS=PREFIX scripts/test.sh windows-full
#
# WORK (default: a folder beside PREFIX) keeps the sources and the build;
# an interrupted run goes on from its downloaded sources. About 34 minutes
# on a quiet 2-core machine, 75 with other work beside it; 1.5 GB of disk
# while it runs. Needs root (or sudo) for the Debian packages.
set -euo pipefail
prefix=${1:?usage: $0 PREFIX [WORK]}
mkdir -p "$prefix" && prefix=$(cd "$prefix" && pwd)
work=${2:-$prefix.build}
mkdir -p "$work" && work=$(cd "$work" && pwd)
qt=qtbase-everywhere-src-6.4.2

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
  g++-mingw-w64-x86-64-posix qt6-base-dev qt6-base-dev-tools cmake ninja-build perl xz-utils \
  >/dev/null

# Debian's source package, through a private apt source list (the machine's
# own lists may hold no deb-src lines).
fetch_sources() {
  cd "$work"
  [ -d "$qt" ] && return
  if [ ! -f qt6-base_6.4.2+dfsg.orig.tar.xz ]; then
    mkdir -p apt/lists/partial
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      >apt/src.sources
    local apt_options=(-o Dir::Etc::sourcelist=/dev/null -o "Dir::Etc::sourceparts=$work/apt"
                       -o "Dir::State::Lists=$work/apt/lists")
    apt-get "${apt_options[@]}" update -qq
    apt-get "${apt_options[@]}" source --download-only qt6-base
  fi
  tar xJf qt6-base_6.4.2+dfsg.orig.tar.xz
}

# What the left-out parts need changed for the build to go through: the
# source has no wintab tablet headers, and there is no OpenGL and no TLS.
patch_sources() {
  local w="$work/$qt/src/plugins/platforms/windows"
  if ! grep -q 'wintab header not in this source' "$w/qwindowscontext.cpp"; then
    sed -i 's|QT_CONFIG(tabletevent)|0 /* wintab header not in this source */|' \
      "$w/qwindowscontext.cpp"
    sed -i 's|^#  include "qwindowstabletsupport.h"|// wintab left out: its header is not in this source|' \
      "$w/qwindowspointerhandler.cpp"
    local wintab='AND EXISTS "${QtBase_SOURCE_DIR}/src/3rdparty/wintab/wintab.h"'
    sed -i "s|^qt_internal_extend_target(QWindowsDirect2DIntegrationPlugin CONDITION QT_FEATURE_tabletevent\$|& $wintab|" \
      "$w/../direct2d/CMakeLists.txt"
    sed -i "s|^qt_internal_extend_target(QWindowsIntegrationPlugin CONDITION QT_FEATURE_tabletevent\$|& $wintab|" \
      "$w/CMakeLists.txt"
  fi
  sed -i 's|^#if QT_CONFIG(dynamicgl)$|#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)|' \
    "$w/qwindowswindow.cpp"
  sed -i 's|^if (QT_FEATURE_schannel)$|if (QT_FEATURE_schannel AND QT_FEATURE_ssl)|' \
    "$work/$qt/src/plugins/tls/CMakeLists.txt"
}

configure_qt() {
  cat >"$work/toolchain.cmake" <<'TC'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
TC
  local off=(sql dbus opengl vulkan printsupport concurrent xml ssl jpeg gif sql_sqlite zstd brotli
             system_zlib system_pcre2 system_harfbuzz system_freetype system_libpng system_jpeg
             system_doubleconversion)
  local features=()
  for f in "${off[@]}"; do features+=("-DFEATURE_$f=OFF"); done
  rm -rf "$work/build" && mkdir -p "$work/build"
  cmake -S "$work/$qt" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
    -DFEATURE_static_runtime=ON -DFEATURE_optimize_size=ON \
    -DQT_BUILD_TESTS=OFF -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_BENCHMARKS=OFF "${features[@]}"
}

fetch_sources
patch_sources
configure_qt
cmake --build "$work/build" -j"$(nproc)"
cmake --install "$work/build"
echo "Qt for Windows in $prefix: FLASHMERE_QT_WINDOWS=$prefix scripts/test.sh windows-full"
