#!/usr/bin/env bash
# For driver authors: builds the tools and shows kqmon watching the sample driver kqdemo's statements live.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
say() { echo "demo: $*"; }

say "checking the Debian packages the build needs"
bash scripts/setup.sh core
say "configuring the linux build in build/linux"
mkdir -p build
if ! cmake --preset linux >build/demo-configure.log 2>&1; then
  cat build/demo-configure.log
  exit 1
fi
say "building kqmon, kqdemo and libkqclient.so (a few minutes the first time)"
cmake --build --preset linux -j2 --target kqmon kqdemo kqclient
bin=build/linux/tools
say "the tools are in $bin (README: how to put them on the PATH or install them)"
say "kqmon watches; kqdemo, client 4711 \"Orders DB\", sends 25 statements at 5 a second;"
say "after 3 s kqmon sends it the value 42, which reaches the driver's callback"
echo
# A namespace of its own, so that the demo never meets a real monitor or driver on this machine.
export KQ_NAMESPACE=demo-$$
"$bin/kqmon" watch --refno --time --until-detach --duration 60 &
monitor=$!
sleep 0.5
# Halfway through, the monitor sends a value that reaches the driver's callback.
(sleep 3 && "$bin/kqmon" signal 4711 42) &
"$bin/kqdemo" --id 4711 --name "Orders DB" --count 25 --rate 5
wait "$monitor"
