# Sourced by the scripts that run Windows programs under Wine (tests, demo, bench, package test).
# testenv_prefix DIR: a throwaway Wine prefix under DIR/testenv with a persistent wineserver,
# Wine's fonts, and Xvfb when there is no display.
# testenv_start DIR: that, plus virtual null-modem pairs mapped as COM ports of the prefix and
# a tiny disk.
# testenv_reboot: restarts the prefix's wineserver, a reboot for the prefix's services.
# testenv_stop: stops, by pid, everything either started. Safe to call twice.

# The COM numbers of each pair's two ends; the bench sets more pairs before sourcing this.
TESTENV_PAIRS=${TESTENV_PAIRS:-"5:6 7:8 9:10"}
TESTENV_PIDS=()

testenv_log() { echo "testenv: $*" >&2; }

testenv_prefix() {
  local dir=$1 abs
  # The folder below is removed wholesale: never derive it from a folder that is not there.
  abs=$(cd "$dir" 2>/dev/null && pwd) && [ -n "$abs" ] || { testenv_log "no folder $dir"; return 1; }
  TESTENV_DIR=$abs/testenv
  export WINEPREFIX=$TESTENV_DIR/prefix
  export WINEDEBUG=-all
  export WINEARCH=win64
  # No Mono or Gecko installer prompts: nothing here needs them.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  umount "$TESTENV_DIR/tinydisk" 2>/dev/null
  rm -rf "$TESTENV_DIR"
  mkdir -p "$TESTENV_DIR"
  testenv_arch || return 1

  # The display first: Wine's desktop and tray, started with the prefix, need it.
  if [ -z "${DISPLAY:-}" ]; then
    local n=90
    while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
    Xvfb :$n -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    TESTENV_PIDS+=("$!")
    export DISPLAY=:$n
    # Exported: a script run inside this environment learns that the display has no window manager.
    export TESTENV_XVFB=1
    local i
    for i in $(seq 1 100); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.05; done
    [ -e /tmp/.X11-unix/X$n ] || { testenv_log "Xvfb did not come up on $DISPLAY"; return 1; }
    testenv_log "Xvfb on $DISPLAY"
  fi

  # Our own wineserver, in the foreground so that we hold its pid.
  wineserver -f -p >/dev/null 2>&1 &
  TESTENV_WINESERVER=$!
  TESTENV_PIDS+=("$TESTENV_WINESERVER")
  testenv_log "creating Wine prefix $WINEPREFIX"
  wineboot -i </dev/null >/dev/null 2>&1 || { testenv_log "wineboot failed"; return 1; }
  # A new prefix does not load Wine's own fonts (package fonts-wine): Tahoma is the dialog's
  # font, Marlett draws the caption buttons. A font in the prefix's Fonts folder is loaded.
  local font
  for font in tahoma.ttf marlett.ttf; do
    cp "/usr/share/wine/fonts/$font" "$WINEPREFIX/drive_c/windows/Fonts/" ||
      { testenv_log "cannot copy $font from /usr/share/wine/fonts (package fonts-wine)"; return 1; }
  done

  # A crashing test must end at once, not sit in Wine's debugger until ctest's time-out:
  # name a debugger that does not exist, so the crash ends the process.
  local view aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
  for view in 64 32; do
    wine reg add "$aedebug" /v Debugger /d "no-debugger.exe %ld %ld" /f /reg:$view >/dev/null 2>&1
    wine reg add "$aedebug" /v Auto /d 1 /f /reg:$view >/dev/null 2>&1
  done

  if [ -n "${TESTENV_XVFB:-}" ]; then
    # Our Xvfb has no window manager: with Wine managing the windows itself, a dialog appears
    # at once instead of after a two-second wait for a manager that never answers.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  fi
}

testenv_start() {
  testenv_prefix "$1" || return 1
  mkdir -p "$TESTENV_DIR/ports"
  # A 64 KiB disk as drive T: for the full-disk test, where this user may mount one.
  mkdir -p "$TESTENV_DIR/tinydisk"
  if mount -t tmpfs -o size=64k tmpfs "$TESTENV_DIR/tinydisk" 2>/dev/null; then
    TESTENV_TINYDISK=$TESTENV_DIR/tinydisk
    ln -sfn "$TESTENV_TINYDISK" "$WINEPREFIX/dosdevices/t:"
    export COLLECTOR_TINY_DRIVE=T:
  else
    unset COLLECTOR_TINY_DRIVE
  fi

  export COLLECTOR_TESTENV=$TESTENV_DIR
  local k=0 pair a b
  for pair in $TESTENV_PAIRS; do
    k=$((k + 1))
    a=${pair%%:*}
    b=${pair##*:}
    "$TESTENV_SCRIPTS/pairctl.sh" plug "$k" || return 1
    ln -sf "$TESTENV_DIR/ports/pair$k-a" "$WINEPREFIX/dosdevices/com$a"
    ln -sf "$TESTENV_DIR/ports/pair$k-b" "$WINEPREFIX/dosdevices/com$b"
    # Wine lists a port only when it is registered here; without it the port tests would
    # only skip later.
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$a" /d "$TESTENV_DIR/ports/pair$k-a" /f </dev/null >/dev/null &&
      wine reg add 'HKLM\Software\Wine\Ports' /v "COM$b" /d "$TESTENV_DIR/ports/pair$k-b" /f </dev/null >/dev/null ||
      { testenv_log "registering COM$a and COM$b under HKLM\Software\Wine\Ports failed"; return 1; }
    echo "$a $b" >"$TESTENV_DIR/ports/pair$k.com"
  done

  # The port registrations are read when the server starts: restart it.
  testenv_reboot

  export COLLECTOR_TESTENV=$TESTENV_DIR
  export COLLECTOR_TEST_PAIRS=$TESTENV_PAIRS
  export COLLECTOR_PAIRCTL=$TESTENV_SCRIPTS/pairctl.sh
  testenv_log "ready: pairs $TESTENV_PAIRS"
}

# testenv_reboot: the prefix's reboot. Its wineserver is ended with every program and service of
# the prefix, and a new one started: the volatile registry keys are gone, and the first program
# starts the automatic services again (but not the logon entries, as plain wineboot would).
testenv_reboot() {
  wineserver -k >/dev/null 2>&1
  wait "$TESTENV_WINESERVER" 2>/dev/null
  # Its pid is no longer ours to stop.
  local pid kept=()
  for pid in "${TESTENV_PIDS[@]}"; do [ "$pid" = "$TESTENV_WINESERVER" ] || kept+=("$pid"); done
  TESTENV_PIDS=("${kept[@]}")
  wineserver -f -p >/dev/null 2>&1 &
  TESTENV_WINESERVER=$!
  TESTENV_PIDS+=("$TESTENV_WINESERVER")
  # Start Wine's background services now, detached from our output, so that they
  # do not inherit the pipes of ctest and keep it waiting.
  wine cmd /c exit </dev/null >/dev/null 2>&1
}

# Which build runs here: the shipped 32-bit one where this machine runs 32-bit Linux programs
# (Wine's 32-bit loader is one), else the 64-bit build under Wine's 64-bit loader alone. Some
# virtual machines have no 32-bit user mode at all. TESTENV_ARCH names the build folder.
testenv_detect_arch() {
  if [ -n "${TESTENV_ARCH:-}" ]; then :
  elif /usr/lib/wine/wine --version >/dev/null 2>&1; then TESTENV_ARCH=i686
  else TESTENV_ARCH=x86_64
  fi
  export TESTENV_ARCH
}

testenv_arch() {
  testenv_detect_arch
  [ "$TESTENV_ARCH" = i686 ] && return 0
  # /usr/bin/wine and the wineboot, winepath and msiexec launchers all go through the
  # 32-bit loader: stand-ins that use the 64-bit one.
  local bin=$TESTENV_DIR/bin tool
  mkdir -p "$bin"
  export WINELOADER=/usr/lib/wine/wine64
  printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$bin/wine"
  for tool in wineboot winepath msiexec regedit; do
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 %s.exe "$@"\n' "$tool" >"$bin/$tool"
  done
  chmod +x "$bin"/*
  export PATH=$bin:$PATH
  testenv_log "no 32-bit programs on this machine: testing the 64-bit build"
}

testenv_stop() {
  local pidfile pid
  if [ -n "${TESTENV_DIR:-}" ]; then
    for pidfile in "$TESTENV_DIR"/ports/*.pid; do
      [ -e "$pidfile" ] || continue
      pid=$(cat "$pidfile")
      if [ -n "$pid" ] && kill "$pid" 2>/dev/null; then
        local i=0
        while process_alive "$pid" && [ $i -lt 100 ]; do sleep 0.02; i=$((i + 1)); done
      fi
      rm -f "$pidfile"
    done
  fi
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1
  fi
  for pid in "${TESTENV_PIDS[@]}"; do
    kill "$pid" 2>/dev/null
  done
  for pid in "${TESTENV_PIDS[@]}"; do
    wait "$pid" 2>/dev/null
  done
  TESTENV_PIDS=()
  # Wine's services of the prefix outlive its server by a moment: see them gone.
  if [ -n "${WINEPREFIX:-}" ]; then
    local i left
    for i in $(seq 1 50); do
      left=$(testenv_prefix_pids)
      [ -z "$left" ] && break
      sleep 0.1
    done
    left=$(testenv_prefix_pids)
    [ -n "$left" ] && kill -9 $left 2>/dev/null
  fi
  if [ -n "${TESTENV_TINYDISK:-}" ]; then
    umount "$TESTENV_TINYDISK" 2>/dev/null
    TESTENV_TINYDISK=
  fi
}

# The Wine processes (programs and services) that run in our prefix, found by their name
# and environment; this shell carries the same environment and is left out by its name.
testenv_prefix_pids() {
  local d comm
  for d in /proc/[0-9]*; do
    comm=$(cat "$d/comm" 2>/dev/null) || continue
    case $comm in
      *.exe | wine*) ;;
      *) continue ;;
    esac
    process_alive "${d#/proc/}" || continue
    if { tr '\0' '\n' <"$d/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
      echo "${d#/proc/}"
    fi
  done
}

TESTENV_SCRIPTS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$TESTENV_SCRIPTS/alive.sh"
