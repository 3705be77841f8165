#!/bin/sh
# Installs the build tools that are missing, and only those, with apt-get.
# Extra packages can be asked for as "package:probe" arguments, where the
# probe is a command name or an absolute path that the package provides.
set -e

missing=""
need() {  # need <package> <command-or-path>
  case "$2" in
    /*) [ -e "$2" ] && return 0 ;;
    *) command -v "$2" >/dev/null 2>&1 && return 0 ;;
  esac
  missing="$missing $1"
}

need cmake cmake
need ninja-build ninja
need g++ g++
need libgtest-dev /usr/include/gtest/gtest.h
# zandrel-nntpd: Asio and toml++ to build it; Debian's python3.11 (nntplib),
# its test suite (test_nntplib) and tin for its end-to-end tests.
need libasio-dev /usr/include/asio.hpp
need libtomlplusplus-dev /usr/include/toml++/toml.h
# TLS and password hashes for the server; openssl makes the tests' certificate.
need libssl-dev /usr/include/openssl/ssl.h
need libcrypt-dev /usr/include/crypt.h
need openssl openssl
need python3.11 /usr/lib/python3.11/nntplib.py
need libpython3.11-testsuite /usr/lib/python3.11/test/test_nntplib.py
need tin tin
for arg in "$@"; do
  need "${arg%%:*}" "${arg#*:}"
done

[ -z "$missing" ] && exit 0

echo "installing:$missing" >&2
SUDO=""
if [ "$(id -u)" != 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO=sudo; else
    echo "missing packages:$missing (run as root to install them)" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
# A package with a service (jamnntpd, for the benchmark) must not start it:
# a policy that refuses every start is in place while packages go in.
policy=/usr/sbin/policy-rc.d
made_policy=""
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  made_policy=1
fi
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing
[ -n "$made_policy" ] && $SUDO rm -f "$policy"
exit 0
