#!/usr/bin/env bash
# Installs every Debian package the builds and tests need. Safe to run again.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev clang-format googletest libgtest-dev
  libbenchmark-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-i686
  binutils-mingw-w64-x86-64 wine wine64 wine32:i386 strace libcli11-dev rsyslog pkgconf dpkg-dev valgrind)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} Debian packages are installed"
  exit 0
fi
echo "setup: installing ${#missing[@]} Debian package(s), a few minutes on a fresh machine: ${missing[*]}"

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
echo "setup: updating the package lists"
"${sudo_cmd[@]}" apt-get update -qq
echo "setup: downloading and installing (dpkg reports each package as it is set up)"
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "setup: done"
