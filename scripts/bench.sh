#!/usr/bin/env bash
# Builds and runs the capture benchmark under Wine, with the test environment up for
# exactly as long as it runs. Usage: scripts/bench.sh BUILD [STEADY_SECONDS [cpu]]
set -u
build=${1:-build}
steady=${2:-90}
only=${3:-}
root=$(cd "$(dirname "$0")/.." && pwd)
# Sixteen pairs (COM5:COM6 to COM35:COM36): the service's lanes are measured up to sixteen at once.
TESTENV_PAIRS=$(for i in $(seq 0 15); do printf '%d:%d ' $((5 + 2 * i)) $((6 + 2 * i)); done)
. "$root/scripts/testenv.sh"
testenv_detect_arch
cmake --build "$build/$TESTENV_ARCH" --target capture_bench channel_bench service_bench text_bench output_bench POSCollector possim -j 2 >/dev/null || exit 1
trap 'testenv_stop' EXIT
trap 'exit 130' INT TERM
testenv_start "$build" || exit 1
export BENCH_WINESERVER_PID=$TESTENV_WINESERVER
possim=$(cd "$build/$TESTENV_ARCH/tools/possim" && pwd)/possim.exe
timeout 600 wine "$build/$TESTENV_ARCH/bench/capture_bench.exe" "Z:${possim//\//\\}" "$steady" $only
status=$?
# The control channel's figures (handles after many clients, state delivery to the windows).
if [ -z "$only" ]; then
  timeout 300 wine "$build/$TESTENV_ARCH/bench/channel_bench.exe" || status=$?
  # A lane output's clean text: throughput on recorded receipt streams.
  timeout 300 wine "$build/$TESTENV_ARCH/bench/text_bench.exe" || status=$?
  # The lanes' network outputs on the loopback (a recorder stalled for 60 s among them).
  timeout 600 wine "$build/$TESTENV_ARCH/bench/output_bench.exe" 60 || status=$?
  # The service itself, started by Wine's service manager; this prefix's wineserver keeps it.
  timeout 600 wine "$build/$TESTENV_ARCH/bench/service_bench.exe" "$(winepath -w "$build/$TESTENV_ARCH/POSCollector.exe")" ||
    status=$?
fi
exit $status
