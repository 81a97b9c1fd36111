#!/usr/bin/env bash
# make demo: the real POSCollector.exe under Wine capturing receipts from a simulated POS
# terminal (tools/possim) on a virtual null-modem cable, with a screenshot of it at work.
# Uses the user's display when there is one, otherwise a virtual one (Xvfb). Stops
# everything it started, also when something fails.
set -u
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/testenv.sh"
testenv_detect_arch
exe=$build/$TESTENV_ARCH/POSCollector.exe
possim=$build/$TESTENV_ARCH/tools/possim/possim.exe
for f in "$exe" "$possim"; do
  [ -f "$f" ] || { echo "demo: $f is missing: build first (make demo does)" >&2; exit 1; }
done

demo_dir=$build/demo
mkdir -p "$demo_dir"
collector_pid=
possim_pid=
cleanup() {
  [ -n "$possim_pid" ] && kill "$possim_pid" 2>/dev/null
  [ -n "$collector_pid" ] && kill "$collector_pid" 2>/dev/null
  testenv_stop
}
trap cleanup EXIT
trap 'exit 130' INT TERM

testenv_start "$demo_dir" || exit 1
capture_unix=$TESTENV_DIR/capture.txt
sent_unix=$TESTENV_DIR/sent.txt
capture=$(winepath -w "$capture_unix" 2>/dev/null)
sent=$(winepath -w "$sent_unix" 2>/dev/null)
port=5 # pair 1: the collector listens on COM5, the terminal talks into COM6
peer=6

key='HKLM\SOFTWARE\Tarnwick\Orvane DVR\POSCollector'
seed() { wine reg add "$key" /v "$1" /t "$2" /d "$3" /f /reg:32 >/dev/null 2>&1; }
seed CommPort REG_DWORD $port
seed BaudRate REG_DWORD 9600
seed DataBits REG_DWORD 8
seed Parity REG_DWORD 2
seed StopBits REG_DWORD 0
seed DataFile REG_SZ "$capture"
seed RunAtStartup REG_DWORD 1
echo "demo: settings seeded: COM$port, 9600 8N1, capture file $capture, RunAtStartup 1"

wine "$exe" </dev/null >/dev/null 2>&1 &
collector_pid=$!
echo "demo: POSCollector.exe started on ${DISPLAY}"
for i in $(seq 1 200); do [ -e "$capture_unix" ] && break; sleep 0.1; done
[ -e "$capture_unix" ] || { echo "demo: the collector did not start capturing" >&2; exit 1; }

wine "$possim" --port $peer --baud 9600 --seconds 10 --gap 300 --copy "$sent" </dev/null >/dev/null 2>&1 &
possim_pid=$!
echo "demo: the POS terminal sends receipts to COM$peer for 10 seconds"
for s in $(seq 1 12); do
  sleep 1
  printf 'demo: %2d s  capture file %6d bytes\n' "$s" "$(stat -c %s "$capture_unix" 2>/dev/null || echo 0)"
  if [ "$s" = 8 ]; then
    # Into the build folder: docs/screenshot.png is tracked and changes only by make screenshot.
    # On our own Xvfb the window sits alone on a black screen: trim to it.
    crop=(-crop 410x182+0+0)
    [ -n "${TESTENV_XVFB:-}" ] && crop=(-trim)
    import -window root "$demo_dir/screen.png" 2>/dev/null &&
      convert "$demo_dir/screen.png" "${crop[@]}" +repage "$build/screenshot.png" &&
      echo "demo: screenshot in $build/screenshot.png (make screenshot copies it to docs/)"
  fi
  kill -0 "$possim_pid" 2>/dev/null || break
done
wait "$possim_pid"
possim_pid=

# Closed the way a user closes it: a close request to its window (taskkill without /f).
sleep 1
wine taskkill /im POSCollector.exe </dev/null >/dev/null 2>&1
for i in $(seq 1 150); do kill -0 "$collector_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$collector_pid" 2>/dev/null; then
  echo "demo: the collector did not close" >&2
  exit 1
fi
wait "$collector_pid"
collector_pid=

status=0
if cmp -s "$capture_unix" "$sent_unix"; then
  echo "demo: capture file equals what the terminal sent ($(stat -c %s "$capture_unix") bytes)"
else
  echo "demo: capture file differs from what the terminal sent" >&2
  status=1
fi
echo "demo: settings saved on close:"
wine reg query "$key" /reg:32 2>/dev/null | tr -d '\r' | grep -E 'REG_' | sed 's/^/demo:   /'
exit $status
