#!/usr/bin/env bash
# Uses kq as someone outside this tree would, from a clean directory: installs the linux build under a
# fresh prefix, builds the example drivers installed with it through find_package(kq) and through
# pkg-config, and checks that an installed kqmon prints the statements they trace; then unpacks the
# release archives of build/packages/ and runs what is in them (the Windows zip under Wine, with the C
# example cross-built against its headers). A broken install or archive fails.
# Usage: scripts/consumer-test.sh   (after the linux preset is built and scripts/package.sh ran)
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root/build/linux/CMakeCache.txt" 2>/dev/null)
work=$(mktemp -d "${TMPDIR:-/tmp}/kq-consumer.XXXXXX")
prefix="$work/prefix"
passed=0
failed=0
skipped=0
ok() {
  echo "ok: $1"
  passed=$((passed + 1))
}
fail() {
  echo "FAILED: $1"
  failed=$((failed + 1))
}
skip() {
  echo "skipped: $1"
  skipped=$((skipped + 1))
}
# Runs a command with its output in $work/logs/NAME.log, shown when it fails.
step() {
  local name=$1
  shift
  if "$@" >"$work/logs/$name.log" 2>&1; then return 0; fi
  tail -30 "$work/logs/$name.log" | sed 's/^/  | /'
  return 1
}
finish() {
  # The namespace's directory of named objects, once they are all gone.
  rmdir "/dev/shm/kq-$(id -u)-$KQ_NAMESPACE" 2>/dev/null
  echo "consumer-test: $passed passed, $failed failed, $skipped skipped"
  if [ "$failed" -eq 0 ]; then rm -rf "$work"; else echo "consumer-test: the work directory stays for a look: $work"; fi
  [ "$failed" -eq 0 ]
  exit
}
mkdir -p "$work/logs"
# Nothing of the build tree or of the caller's environment may help the consumer along.
unset LD_LIBRARY_PATH PKG_CONFIG_PATH CMAKE_PREFIX_PATH
cd "$work"
# Every monitor and driver here in a namespace of its own, away from real ones.
export KQ_NAMESPACE="consumer-$$"

if [ -z "$version" ]; then
  fail "no configured linux build (run cmake --preset linux and build it first)"
  finish
fi

# Programs run through $runner: nothing, or Wine for the Windows ones.
runner=""

# Runs an installed kqmon watch while DRIVER... traces, then checks that kqmon printed each statement
# of the example drivers under the client's name. Usage: traced LABEL KQMON NAME DRIVER...
traced() {
  local label=$1 kqmon=$2 name=$3
  shift 3
  local out="$work/logs/$label.out"
  $runner "$kqmon" watch --until-detach --duration 60 >"$out" 2>"$work/logs/$label.kqmon.log" &
  local monitor=$!
  local driven=0
  step "$label" $runner "$@" || driven=1
  wait "$monitor" || driven=1
  local missing=""
  # The client's first record names it; then each statement is a line of its own (kqmon may end
  # lines with CR LF on Windows).
  tr -d '\r' <"$out" | grep -i 'log started' | grep -qF "$name" || missing+=" [log started for $name]"
  for line in "SELECT id, name FROM customers WHERE city = 'Zürich'" \
    "UPDATE customers SET credit_limit = 5000 WHERE id = 42" "COMMIT"; do
    # The statement ends its line, behind the client column.
    tr -d '\r' <"$out" | awk -v s="$line" 'substr($0, length($0) - length(s) + 1) == s &&
      (length($0) == length(s) || substr($0, length($0) - length(s) - 1, 2) == "  ") { found = 1 }
      END { exit !found }' || missing+=" [$line]"
  done
  if [ "$driven" -eq 0 ] && [ -z "$missing" ]; then
    ok "$label: the installed kqmon printed every statement"
  else
    fail "$label: kqmon did not print$missing (driver or monitor exit status: $driven)"
    sed 's/^/  | /' "$out" "$work/logs/$label.kqmon.log"
  fi
}

# The install.
if step install cmake --install "$root/build/linux" --prefix "$prefix"; then
  ok "cmake --install into a fresh prefix"
else
  fail "cmake --install"
  finish
fi
for tool in kqmon kqdemo; do
  if [ "$("$prefix/bin/$tool" --version 2>&1)" = "$tool $version" ]; then
    ok "installed $tool --version says $version"
  else
    fail "installed $tool --version: $("$prefix/bin/$tool" --version 2>&1 | head -1) (expected $tool $version)"
  fi
done

# find_package(kq), with the examples as installed.
if step cmake-configure cmake -S "$prefix/share/doc/kq/examples" -B "$work/cmake-build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release &&
  grep -qxF "kq_DIR:PATH=$prefix/lib/cmake/kq" "$work/cmake-build/CMakeCache.txt" &&
  step cmake-build cmake --build "$work/cmake-build"; then
  ok "find_package(kq) found the installed package and built the examples"
  traced find-package-cpp "$prefix/bin/kqmon" trace_driver "$work/cmake-build/trace_driver" 3
  traced find-package-c "$prefix/bin/kqmon" trace_driver_c "$work/cmake-build/trace_driver_c" 3
else
  fail "find_package(kq) build of the examples"
fi

# pkg-config, which sees only this prefix.
build_with_pkg_config() {
  local flags
  flags=$(PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" pkg-config --cflags --libs kq) || return 1
  # shellcheck disable=SC2086
  cc -std=c11 -Wall -Wextra -Werror -o "$work/pkg-config-driver" "$prefix/share/doc/kq/examples/trace_driver.c" $flags
}
if step pkg-config build_with_pkg_config; then
  ok "cc \$(pkg-config --cflags --libs kq) built the C example"
  traced pkg-config-c "$prefix/bin/kqmon" trace_driver_c "$work/pkg-config-driver" 3
else
  fail "pkg-config build of the C example"
fi

# kqdemo of BIN traces three statements that kqmon of BIN prints: installed, it finds the library by
# its run path. Usage: demo_against LABEL BIN [.exe]
demo_against() {
  local label=$1 bin=$2 exe=${3:-}
  local out="$work/logs/$label.out"
  $runner "$bin/kqmon$exe" watch --until-detach --duration 60 >"$out" 2>"$work/logs/$label.kqmon.log" &
  local monitor=$!
  local status=0
  step "$label" $runner "$bin/kqdemo$exe" --id 4720 --name "$label" --count 3 --rate 20 --wait 3 || status=1
  wait "$monitor" || status=1
  # kqdemo sends each statement's outcome, which kqmon shows in columns before the text.
  if [ "$status" -eq 0 ] && [ "$(tr -d '\r' <"$out" | grep -cE '^(.* rows  (ok|FAILED) +)?(SELECT|INSERT)')" -eq 3 ]; then
    ok "$label: kqdemo traced 3 statements that kqmon printed"
  else
    fail "$label: kqdemo and kqmon"
    sed 's/^/  | /' "$out" "$work/logs/$label.kqmon.log"
  fi
}
demo_against installed-kqdemo "$prefix/bin"

# The release archives.
packages="$root/build/packages"
tarball="$packages/kq-$version-linux-$(uname -m).tar.gz"
if [ -f "$tarball" ] && mkdir -p "$work/tgz" && step untar tar -xzf "$tarball" -C "$work/tgz"; then
  unpacked="$work/tgz/kq-$version-linux-$(uname -m)"
  if [ "$("$unpacked/bin/kqmon" --version)" = "kqmon $version" ]; then ok "tar.gz: kqmon runs"; else fail "tar.gz: kqmon --version"; fi
  demo_against tarball-kqdemo "$unpacked/bin"
else
  fail "no $tarball to unpack (scripts/package.sh makes it)"
fi

deb="$packages/kq_${version}_$(dpkg --print-architecture).deb"
if [ -f "$deb" ] && step deb-extract dpkg-deb -x "$deb" "$work/deb" &&
  [ -x "$work/deb/usr/bin/kqmon" ] && [ -f "$work/deb/usr/lib/libkqclient.so" ] &&
  [ -f "$work/deb/usr/include/kq/kqintf.h" ] && dpkg-deb -f "$deb" Depends | grep -q libc6; then
  demo_against deb-kqdemo "$work/deb/usr/bin"
else
  fail "the .deb ($deb): missing, or without the tools, library, headers or dependencies"
fi

zip="$packages/kq-$version-win32.zip"
if [ ! -f "$zip" ]; then
  skip "no $zip (scripts/package.sh win32 makes it)"
elif ! (mkdir -p "$work/zip" && cd "$work/zip" && step unzip cmake -E tar xf "$zip"); then
  fail "the Windows zip does not unpack"
else
  win="$work/zip/kq-$version-win32"
  if [ -f "$win/include/kq/kqintf.h" ] && [ -f "$win/bin/kqmon.exe" ] && [ -f "$win/bin/kqdemo.exe" ] &&
    step check-dll bash "$root/scripts/check-dll.sh" "$win/bin/kqclient.dll"; then
    ok "zip: kqclient.dll (four entry points, system imports), kqmon.exe, kqdemo.exe, headers"
  else
    fail "zip: contents"
  fi
  # A C driver of one's own against the zip's headers, its DLL beside it: building it needs MinGW only.
  c_driver=0
  if step mingw-build i686-w64-mingw32-gcc -std=c11 -Wall -Wextra -Werror -I"$win/include" \
    -o "$win/bin/trace_driver_c.exe" "$win/share/doc/kq/examples/trace_driver.c" -luuid; then
    c_driver=1
    ok "zip: the C example builds against its headers with MinGW"
  else
    fail "zip: the C example does not build against its headers with MinGW"
  fi
  # Running the programs needs 32-bit Wine: a kernel that runs 32-bit x86 code and the wine32
  # package; scripts/test.sh passes why not in KQ_NO_WINE32.
  if [ -z "${KQ_NO_WINE32+x}" ]; then
    KQ_NO_WINE32=""
    /lib/ld-linux.so.2 --version >/dev/null 2>&1 || KQ_NO_WINE32="this kernel runs no 32-bit x86 code"
    [ -x /usr/lib/wine/wine ] || KQ_NO_WINE32="${KQ_NO_WINE32:+$KQ_NO_WINE32 and }no 32-bit Wine (Debian package wine32:i386)"
  fi
  if [ -n "$KQ_NO_WINE32" ]; then
    skip "zip: kqmon.exe, kqdemo.exe and the C example do not run here: $KQ_NO_WINE32"
  else
    export KQ_WINEPREFIX="$root/build/wineprefix32"
    runner="bash $root/scripts/wine-run.sh"
    if [ "$($runner "$win/bin/kqmon.exe" --version | tr -d '\r')" = "kqmon $version" ]; then
      ok "zip: kqmon.exe runs under Wine"
    else
      fail "zip: kqmon.exe --version under Wine"
    fi
    demo_against zip-kqdemo "$win/bin" .exe
    [ $c_driver -eq 0 ] || traced zip-c "$win/bin/kqmon.exe" trace_driver_c "$win/bin/trace_driver_c.exe" 4
  fi
fi
finish
