#!/usr/bin/env bash
# The main job: builds the tools and shows kqmon watching kqdemo's statements live for a few seconds.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target kqmon kqdemo kqclient >/dev/null
bin=build/linux/tools
# A namespace of its own, so that the demo never meets a real monitor or driver on this machine.
export KQ_NAMESPACE=demo-$$
"$bin/kqmon" watch --refno --time --until-detach --duration 60 &
monitor=$!
sleep 0.5
# Halfway through, the monitor sends a value that reaches the driver's callback.
(sleep 3 && "$bin/kqmon" signal 4711 42) &
"$bin/kqdemo" --id 4711 --name "Orders DB" --count 25 --rate 5
wait "$monitor"
