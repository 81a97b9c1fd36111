#!/bin/sh
# pairctl.sh plug|unplug K: connects or disconnects virtual null-modem pair K of the
# running test environment (COLLECTOR_TESTENV). Unplugging kills the pair's socat, as
# pulling a USB adapter would; plugging starts a new one with the same links.
# Leaves "ok" or "failed" in DIR/ports/pairK.result for callers that cannot see the exit code.
set -u
action=$1
k=$2
dir=${COLLECTOR_TESTENV:-${TESTENV_DIR:-}}
[ -n "$dir" ] || { echo "pairctl: no test environment" >&2; exit 2; }
ports=$dir/ports
pidfile=$ports/pair$k.pid
result=$ports/pair$k.result
rm -f "$result"

. "$(dirname "$0")/alive.sh"

case $action in
  unplug)
    if [ -e "$pidfile" ]; then
      pid=$(cat "$pidfile")
      kill "$pid" 2>/dev/null
      i=0
      while process_alive "$pid" && [ $i -lt 200 ]; do sleep 0.01; i=$((i + 1)); done
      rm -f "$pidfile"
    fi
    i=0
    while { [ -e "$ports/pair$k-a" ] || [ -e "$ports/pair$k-b" ]; } && [ $i -lt 200 ]; do sleep 0.01; i=$((i + 1)); done
    rm -f "$ports/pair$k-a" "$ports/pair$k-b"
    echo ok >"$result"
    ;;
  plug)
    if [ -e "$pidfile" ] && process_alive "$(cat "$pidfile")"; then
      echo ok >"$result"
      exit 0
    fi
    # setsid: the pair must not die with the process that asked for it.
    setsid socat pty,raw,echo=0,link="$ports/pair$k-a" pty,raw,echo=0,link="$ports/pair$k-b" \
      </dev/null >/dev/null 2>&1 &
    echo $! >"$pidfile"
    i=0
    while { [ ! -e "$ports/pair$k-a" ] || [ ! -e "$ports/pair$k-b" ]; } && [ $i -lt 500 ]; do sleep 0.01; i=$((i + 1)); done
    if [ -e "$ports/pair$k-a" ] && [ -e "$ports/pair$k-b" ]; then
      echo ok >"$result"
    else
      echo failed >"$result"
      echo "pairctl: pair $k did not come up" >&2
      exit 1
    fi
    ;;
  *)
    echo "usage: pairctl.sh plug|unplug K" >&2
    exit 2
    ;;
esac
