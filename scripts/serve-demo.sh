#!/usr/bin/env bash
# The live view on the sample driver: builds, starts `kqmon serve` and kqdemo's order-entry workload,
# and prints the URL to open in a browser on this machine. Ctrl+C ends both.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# kqmon serve needs cpp-httplib besides what every build needs.
bash scripts/setup.sh --require core,serve core serve
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target kqmon kqdemo kqclient >/dev/null
bin=build/linux/tools
# A namespace of its own, so that the demo never meets a real monitor or driver on this machine.
export KQ_NAMESPACE=serve-demo-$$
"$bin/kqmon" serve --port "${KQ_PORT:-27505}" &
monitor=$!
trap 'kill $monitor $demo 2>/dev/null || true' EXIT INT TERM
sleep 0.5
echo "Open the URL above in a browser; kqdemo runs 10 minutes of statements. Ctrl+C ends the demo."
"$bin/kqdemo" --id 4711 --name "Orders DB" --count 6000 --rate 10 --wait 2 &
demo=$!
wait "$demo"
