#!/usr/bin/env bash
# Installs every Debian package the builds and tests need. Safe to run again.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev clang-format googletest libgtest-dev
  libbenchmark-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-i686
  binutils-mingw-w64-x86-64 wine wine64 wine32:i386 strace libcli11-dev rsyslog pkgconf dpkg-dev valgrind xz-utils
  chromium chromium-driver python3-selenium)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} Debian packages are installed"
else
  echo "setup: installing ${#missing[@]} Debian package(s), a few minutes on a fresh machine: ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
  fi
  echo "setup: updating the package lists"
  "${sudo_cmd[@]}" apt-get update -qq
  echo "setup: downloading and installing (dpkg reports each package as it is set up)"
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
  echo "setup: done"
fi

# cpp-httplib (kqmon serve) must build for the Windows targets too, but Debian's libcpp-httplib-dev
# holds declarations only, its code being compiled into a host library. Debian's source package of
# the same release has the single header (Debian's patches applied on unpacking): fetched through apt
# from this machine's own Debian archives, read as source archives, with lists of its own so that
# the system's apt configuration stays as it is.
httplib_dir=/usr/local/src/cpp-httplib
if [ ! -f "$httplib_dir/httplib.h" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  mkdir -p "$work/lists/partial" "$work/parts"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && grep -q debian-archive-keyring "$f" && sed 's/^Types:.*/Types: deb-src/' "$f" >"$work/parts/$(basename "$f")"
  done
  if [ -f /etc/apt/sources.list ]; then
    { grep -E '^deb ' /etc/apt/sources.list || true; } | sed 's/^deb /deb-src /' >"$work/parts/system.list"
  fi
  : >"$work/empty.list"
  apt_opts=(-o "Dir::Etc::SourceList=$work/empty.list" -o "Dir::Etc::SourceParts=$work/parts"
    -o "Dir::State::Lists=$work/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=)
  # apt's download user cannot write into a private folder of root's.
  [ "$(id -u)" -ne 0 ] || apt_opts+=(-o APT::Sandbox::User=root)
  apt-get "${apt_opts[@]}" update -qq
  (cd "$work" && apt-get "${apt_opts[@]}" source -qq cpp-httplib >/dev/null)
  header=$(find "$work" -mindepth 2 -maxdepth 2 -name httplib.h | head -1)
  [ -n "$header" ] || { echo "setup: Debian's cpp-httplib source package has no httplib.h"; exit 1; }
  "${sudo_cmd[@]}" mkdir -p "$httplib_dir"
  "${sudo_cmd[@]}" cp "$header" "$(dirname "$header")/LICENSE" "$httplib_dir/"
  echo "setup: cpp-httplib $(sed -n 's/^#define CPPHTTPLIB_VERSION "\(.*\)"/\1/p' "$header") in $httplib_dir"
fi
