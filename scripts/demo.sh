#!/usr/bin/env bash
# The main job: sets up a fresh machine, builds the tools and shows kqmon watching a real program's
# statements live: the sqlite3 shell, unmodified, traced by kqtrace (scripts/trace-demo.sh). The sample
# driver for driver authors has a demo of its own, scripts/driver-demo.sh.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
say() { echo "demo: $*"; }

say "checking the Debian packages the build and the traced program need"
bash scripts/setup.sh --require core,sqlite core sqlite
say "configuring the linux build in build/linux"
mkdir -p build
if ! cmake --preset linux >build/demo-configure.log 2>&1; then
  cat build/demo-configure.log
  exit 1
fi
say "building kqmon, kqtrace and libkqclient.so (a few minutes the first time)"
cmake --build --preset linux -j2 --target kqmon kqtrace kqtrace_preload kqtrace_audit kqclient
say "the tools are in build/linux/tools (README: how to put them on the PATH or install them)"
bash scripts/trace-demo.sh build/linux
