#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need, by purpose, one group at a time, so that a
# package that cannot be had today (32-bit Wine while an i386 index is mid-sync, say) costs only its own
# group. Safe to run again: when everything is there it makes no apt call at all.
#
#   setup.sh [--require G1,G2] [GROUP...]    no GROUP: every group
#
# Each group's result goes to build/setup-status ("GROUP ok" or "GROUP unavailable: apt's reason"),
# which scripts/test.sh reads to skip the phases of a missing group. The exit status is non-zero only
# when a required group failed: those named by --require, else core when it was asked for.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
status_file=${KQ_SETUP_STATUS:-$root/build/setup-status}

all_groups=(core serve tests wincross wine64 wine32 browser pipeline fuzz bench package postgres sqlite odbc
  freshroot)
declare -A group_packages=(
  # The linux preset configures the tests (GoogleTest from its sources) and the benchmarks with the tools.
  [core]="cmake ninja-build g++ pkgconf libcli11-dev googletest libbenchmark-dev"
  # kqmon serve: cpp-httplib's header, unpacked from Debian's source package (dpkg-source does that).
  [serve]="dpkg-dev"
  [tests]="libgtest-dev strace clang-format python3"
  [wincross]="g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-i686 binutils-mingw-w64-x86-64"
  [wine64]="wine wine64"
  [wine32]="wine32:i386"
  [browser]="chromium chromium-driver python3-selenium"
  [pipeline]="rsyslog python3"
  [fuzz]="clang libclang-rt-14-dev"
  [bench]="valgrind"
  [package]="dpkg-dev xz-utils"
  [postgres]="postgresql postgresql-client libpq-dev python3-psycopg2 python3-psycopg"
  [sqlite]="sqlite3 libsqlite3-dev python3"
  [odbc]="unixodbc unixodbc-dev odbc-postgresql libsqliteodbc python3-pyodbc"
  [freshroot]="debootstrap"
)

say() { echo "setup: $*"; }
usage() {
  echo "usage: $0 [--require GROUP[,GROUP...]] [GROUP...]; groups: ${all_groups[*]}" >&2
  exit 2
}

requested=()
required=()
explicit_required=0
while [ $# -gt 0 ]; do
  case $1 in
    --require)
      [ $# -ge 2 ] || usage
      IFS=, read -ra more <<<"$2"
      required+=("${more[@]}")
      explicit_required=1
      shift 2
      ;;
    -h | --help) usage ;;
    *)
      [ -n "${group_packages[$1]+x}" ] || { echo "setup: no group $1" >&2; usage; }
      requested+=("$1")
      shift
      ;;
  esac
done
[ ${#requested[@]} -gt 0 ] || requested=("${all_groups[@]}")
if [ $explicit_required -eq 0 ]; then
  for g in "${requested[@]}"; do [ "$g" != core ] || required=(core); done
fi

# What dpkg has installed, read once (and again after each install): one query, not one per package.
declare -A have=()
read_installed() {
  have=()
  local p native
  native=$(dpkg --print-architecture)
  # A Multi-Arch: same package is listed with its architecture even when it is the native one.
  while read -r p; do have[${p%:"$native"}]=1; done < <(dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' 2>/dev/null |
    awk '$1 == "ii" { print $2 }')
}
installed() { [ -n "${have[$1]+x}" ]; }
read_installed
httplib_dir=/usr/local/src/cpp-httplib
group_complete() {
  local p
  for p in ${group_packages[$1]}; do installed "$p" || return 1; done
  [ "$1" != serve ] || [ -f "$httplib_dir/httplib.h" ]
}

# Results, recorded as they come and merged into the status file: a run for some groups keeps the
# others' lines.
declare -A result=()
record() {
  result[$1]=$2
  if [ "$2" = ok ]; then say "$1: ok"; else say "$1: $2"; fi
}
write_status() {
  mkdir -p "$(dirname "$status_file")"
  local tmp="$status_file.tmp" g line
  : >"$tmp"
  for g in "${all_groups[@]}"; do
    if [ -n "${result[$g]+x}" ]; then
      echo "$g ${result[$g]}" >>"$tmp"
    elif [ -f "$status_file" ] && line=$(grep -m1 "^$g " "$status_file"); then
      echo "$line" >>"$tmp"
    fi
  done
  mv "$tmp" "$status_file"
}

# apt's own words for why it failed, on one line: its errors and the unmet dependencies it lists.
apt_reason() {
  grep -E '^E: |Depends:|no installation candidate|Unable to locate' "$1" | sed -E 's/^ +//; s/ +/ /g' |
    awk '!seen[$0]++' | head -4 | paste -sd '|' | sed 's/|/; /g'
}

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then
    sudo_cmd=(sudo)
  else
    no_root="not root and no sudo to install with"
  fi
fi
export DEBIAN_FRONTEND=noninteractive
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

pending=()
for g in "${requested[@]}"; do
  if group_complete "$g"; then record "$g" ok; else pending+=("$g"); fi
done

update_failures=""
if [ ${#pending[@]} -gt 0 ] && [ -n "${no_root:-}" ]; then
  for g in "${pending[@]}"; do record "$g" "unavailable: $no_root"; done
  pending=()
fi
if [ ${#pending[@]} -gt 0 ]; then
  say "installing the group(s) ${pending[*]}: a few minutes on a fresh machine"
  for g in "${pending[@]}"; do
    if [ "$g" = wine32 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
      "${sudo_cmd[@]}" dpkg --add-architecture i386
    fi
  done
  # A mirror mid-sync or a network hiccup fails an index now and then: retry a few times, then go on
  # with what there is. Only a group whose packages then cannot be had fails, with apt's reason; an
  # index no requested package needs (an i386 list, say) costs nothing.
  for attempt in 1 2 3; do
    say "updating the package lists$([ $attempt -eq 1 ] || echo " (attempt $attempt)")"
    if "${sudo_cmd[@]}" apt-get update -qq >"$work/update.log" 2>&1; then
      update_failures=""
      break
    fi
    update_failures=$(grep -E '^(E|W): ' "$work/update.log" | grep -v 'Some index files failed' | head -3 |
      cut -c1-220 | paste -sd '|' | sed 's/|/; /g')
    say "apt-get update: ${update_failures:-failed}"
    [ $attempt -eq 3 ] || sleep $((attempt * 3))
  done
  [ -z "$update_failures" ] || say "going on with the package lists there are"

  for g in "${pending[@]}"; do
    missing=()
    for p in ${group_packages[$g]}; do installed "$p" || missing+=("$p"); done
    if [ ${#missing[@]} -gt 0 ]; then
      say "$g: installing ${missing[*]}"
      if ! "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=300 "${missing[@]}" >"$work/$g.log" 2>&1; then
        reason=$(apt_reason "$work/$g.log")
        [ -z "$update_failures" ] || reason="${reason:-apt-get install failed}; after apt-get update: $update_failures"
        record "$g" "unavailable: ${reason:-apt-get install failed}"
        continue
      fi
      read_installed
    fi
    [ "$g" = serve ] || {
      record "$g" ok
      continue
    }
    # cpp-httplib must build for the Windows targets too, but Debian's libcpp-httplib-dev holds
    # declarations only, its code being compiled into a host library. Debian's source package of
    # the same release has the single header (Debian's patches applied on unpacking): fetched through
    # apt from this machine's own Debian archives, read as source archives, with lists of its own so
    # that the system's apt configuration stays as it is.
    mkdir -p "$work/src/lists/partial" "$work/src/parts"
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] && grep -q debian-archive-keyring "$f" && sed 's/^Types:.*/Types: deb-src/' "$f" >"$work/src/parts/$(basename "$f")"
    done
    if [ -f /etc/apt/sources.list ]; then
      { grep -E '^deb ' /etc/apt/sources.list || true; } | sed 's/^deb /deb-src /' >"$work/src/parts/system.list"
    fi
    : >"$work/src/empty.list"
    apt_opts=(-o "Dir::Etc::SourceList=$work/src/empty.list" -o "Dir::Etc::SourceParts=$work/src/parts"
      -o "Dir::State::Lists=$work/src/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=)
    # apt's download user cannot write into a private folder of root's.
    [ "$(id -u)" -ne 0 ] || apt_opts+=(-o APT::Sandbox::User=root)
    for attempt in 1 2 3; do
      apt-get "${apt_opts[@]}" update -qq >"$work/serve.log" 2>&1 && break
      [ $attempt -eq 3 ] || sleep $((attempt * 3))
    done
    if ! (cd "$work/src" && apt-get "${apt_opts[@]}" source -qq cpp-httplib) >>"$work/serve.log" 2>&1; then
      record serve "unavailable: $(apt_reason "$work/serve.log")"
      continue
    fi
    header=$(find "$work/src" -mindepth 2 -maxdepth 2 -name httplib.h | head -1)
    if [ -z "$header" ]; then
      record serve "unavailable: Debian's cpp-httplib source package has no httplib.h"
      continue
    fi
    "${sudo_cmd[@]}" mkdir -p "$httplib_dir"
    "${sudo_cmd[@]}" cp "$header" "$(dirname "$header")/LICENSE" "$httplib_dir/"
    say "cpp-httplib $(sed -n 's/^#define CPPHTTPLIB_VERSION "\(.*\)"/\1/p' "$header") in $httplib_dir"
    record serve ok
  done
fi
write_status

failed=0
for g in "${required[@]}"; do
  if [ "${result[$g]:-}" != ok ]; then
    echo "setup: the required group $g could not be installed: ${result[$g]:-not requested}" >&2
    failed=1
  fi
done
[ $failed -eq 0 ] || exit 1
unavailable=0
for g in "${requested[@]}"; do [ "${result[$g]}" = ok ] || unavailable=$((unavailable + 1)); done
say "${#requested[@]} group(s): $((${#requested[@]} - unavailable)) ok, $unavailable unavailable (status: $status_file)"
