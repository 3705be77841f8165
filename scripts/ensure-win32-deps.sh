#!/bin/sh
# Installs what the Windows build and its tests need, when missing: the
# MinGW-w64 cross compiler for i686, Wine with its 32-bit half (which needs
# the i386 architecture in dpkg), and the GoogleTest sources, which are
# built with the cross compiler. Debian packages only.
set -e
cd "$(dirname "$0")"

if [ ! -e /usr/lib/wine/wineserver32 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [ "$(id -u)" != 0 ]; then
    echo "wine32 needs the i386 architecture: run as root to add it" >&2
    exit 1
  fi
  echo "adding the i386 architecture for wine32" >&2
  dpkg --add-architecture i386
fi

exec ./ensure-deps.sh \
  g++-mingw-w64-i686:i686-w64-mingw32-g++-posix \
  wine:wine \
  wine32:/usr/lib/wine/wineserver32 \
  googletest:/usr/src/googletest/CMakeLists.txt
