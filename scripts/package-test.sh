#!/usr/bin/env bash
# The package under Wine's msiexec, in a Wine prefix of its own (the other tests' prefix is
# left alone): silent install, the logon entry's start, an upgrade to a later version, the
# uninstall, and an install without the logon entry. Prints each install's time.
# Usage: scripts/package-test.sh BUILD PACKAGE_PROBE_EXE   (ctest runs it as package_tests)
set -u
build=$(cd "${1:-build}" && pwd) || exit 1
probe=$2
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/testenv.sh"

work=$build/pkgtest
collector=
cleanup() {
  [ -n "$collector" ] && kill "$collector" 2>/dev/null
  testenv_stop
}
trap cleanup EXIT
trap 'exit 130' INT TERM

failures=0
say() { echo "package-test: $*"; }
fail() { say "FAIL: $*"; failures=$((failures + 1)); }
expect() { # expect DESCRIPTION COMMAND...: a check that counts
  local what=$1
  shift
  if "$@"; then say "ok: $what"; else fail "$what"; fi
}

version=$(cat "$build/i686/version.txt")
testenv_detect_arch
if [ "$TESTENV_ARCH" = i686 ]; then
  msi=$build/dist/POSCollector-$version.msi
  [ -f "$msi" ] || "$root/scripts/package.sh" "$build" >/dev/null || exit 1
else
  # The same package around the program this machine can run.
  export COLLECTOR_PACKAGE_ARCH=$TESTENV_ARCH
  "$root/scripts/package.sh" "$build" "$work/current" >/dev/null || { fail "building the package"; exit 1; }
  msi=$work/current/POSCollector-$version.msi
fi
# A later release: the next fourth field, which alone Windows Installer would not see.
IFS=. read -r a b c d <<<"$version"
next=$a.$b.$c.$((d + 1))
"$root/scripts/package.sh" "$build" "$work/next" "$next" >/dev/null || { fail "building the $next package"; exit 1; }
next_msi=$work/next/POSCollector-$next.msi

# A prefix of its own (the collector's window and tray icon need a display too); its
# services started detached from ctest's pipes.
mkdir -p "$work"
testenv_prefix "$work" || { fail "the Wine prefix"; exit 1; }
wine cmd /c exit </dev/null >/dev/null 2>&1

# msiexec through a batch file: wine passes on only the low byte of an exit code (1603 -> 67).
printf '@msiexec %%*\r\n@echo %%errorlevel%%> "%%~dp0msiexec.rc"\r\n' >"$work/msiexec.bat"
msiexec_took=
msiexec_runs=0
msiexec() { # msiexec ARGS...: 0 when msiexec said 0; its time in msiexec_took (seconds)
  rm -f "$work/msiexec.rc"
  local t0 t1
  t0=$(date +%s%N)
  # Each run's log stays in the work folder, for a failure's post-mortem.
  msiexec_runs=$((msiexec_runs + 1))
  timeout 120 wine cmd /c "$(winepath -w "$work/msiexec.bat")" "$@" /l*v "$(win "$work")\\msiexec-$msiexec_runs.log" \
    </dev/null >/dev/null 2>&1
  t1=$(date +%s%N)
  msiexec_took=$(printf '%d.%02d' $(((t1 - t0) / 1000000000)) $((((t1 - t0) / 10000000) % 100)))
  local rc
  rc=$(tr -d '\r\n ' <"$work/msiexec.rc" 2>/dev/null)
  say "msiexec $* -> ${rc:-no exit code} in ${msiexec_took} s"
  [ "$rc" = 0 ]
}
win() { winepath -w "$1" 2>/dev/null; }

run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
settings_key='HKLM\SOFTWARE\Tarnwick\Orvane DVR\POSCollector'
program_dir="$WINEPREFIX/drive_c/Program Files (x86)/Orvane DVR/POSCollector"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Orvane POS Collector.lnk"
expected_command='"C:\Program Files (x86)\Orvane DVR\POSCollector\POSCollector.exe" /tray'

logon_command() {
  wine reg query "$run_key" /v "Orvane POS Collector" /reg:32 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *Orvane POS Collector *REG_SZ *//p'
}
setting() { # setting NAME: its data as reg prints it, empty when absent
  wine reg query "$settings_key" /v "$1" /reg:32 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n { print $3 }'
}
products() { # the installed products of this name, as "code version" lines
  local view key
  for view in 32 64; do
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:$view 2>/dev/null | tr -d '\r' |
      awk '/^HKEY/ { key = $0 } /DisplayName.*Orvane POS Collector/ { hit[key] = 1 } /DisplayVersion/ { v[key] = $3 }
           END { for (k in hit) print k, v[k] }'
  done | sort -u
}
start_at_logon() { # runs the logon entry's command, as a logon does, keeping its pid
  local command exe args
  command=$(logon_command)
  exe=${command#\"}
  exe=${exe%%\"*}
  args=${command##*\" }
  wine "$exe" $args </dev/null >/dev/null 2>&1 &
  collector=$!
}
ended() { # ended PID SECONDS: the process is gone within SECONDS
  local i
  for i in $(seq 1 $(($2 * 10))); do process_alive "$1" || return 0; sleep 0.1; done
  return 1
}
probe() { wine "$probe" "$@" </dev/null 2>/dev/null | tr -d '\r' | sed 's/^/package-test:   /'; return "${PIPESTATUS[0]}"; }

say "package $(basename "$msi"): $(stat -c %s "$msi") bytes; upgrade to $next"

# 1. Silent install.
expect "silent install succeeds" msiexec /i "$(win "$msi")" /qn
install_time=$msiexec_took
expect "the program is in Program Files (x86)\\Orvane DVR\\POSCollector" test -f "$program_dir/POSCollector.exe"
expect "the Start menu shortcut is in the all-users Programs folder" test -f "$shortcut"
expect "the logon entry starts the installed program with /tray" test "$(logon_command)" = "$expected_command"
expect "both settings keys exist with the Everyone entry alone and no values" probe keys

# 2. The logon entry's start, and a second one.
start_at_logon
expect "the logon start is hidden with its tray icon" probe tray
wine "$program_dir/POSCollector.exe" /tray </dev/null >/dev/null 2>&1 &
second=$!
expect "a second /tray start ends by itself" ended "$second" 10
expect "and leaves the first hidden" probe tray
expect "a baud rate is picked in the running collector" probe baud 19200

# 3. Upgrade while it runs: the old version closes it (saving), the new replaces it in place.
expect "silent upgrade to $next succeeds" msiexec /i "$(win "$next_msi")" /qn
upgrade_time=$msiexec_took
expect "the upgrade closed the running collector" ended "$collector" 10
collector=
expect "the collector saved its baud rate when closed" test "$(setting BaudRate)" = 0x4b00
installed=$(products)
say "installed: ${installed:-none}"
expect "one product is installed, the later one" test "$(echo "$installed" | grep -c .)" = 1 -a "${installed##* }" = "$a.$b.$((c * 1000 + d + 1))"
expect "the program is still in place" test -f "$program_dir/POSCollector.exe"
refuse_older() { ! msiexec /i "$(win "$msi")" /qn && [ "$(products)" = "$installed" ]; }
expect "the older package refuses to install over it" refuse_older

# 4. Uninstall while it runs.
start_at_logon
expect "the upgraded program starts at logon in the tray" probe tray
expect "silent uninstall succeeds" msiexec /x "$(win "$next_msi")" /qn
uninstall_time=$msiexec_took
expect "the uninstall closed the running collector" ended "$collector" 10
collector=
expect "the program is gone" test ! -e "$program_dir/POSCollector.exe"
expect "the shortcut is gone" test ! -e "$shortcut"
expect "the logon entry is gone" test -z "$(logon_command)"
expect "the saved settings stay" test "$(setting BaudRate)" = 0x4b00
expect "no product is left installed" test -z "$(products)"

# 5. STARTATLOGON=0.
expect "install with STARTATLOGON=0 succeeds" msiexec /i "$(win "$msi")" STARTATLOGON=0 /qn
expect "it installs the program" test -f "$program_dir/POSCollector.exe"
expect "it leaves the logon entry out" test -z "$(logon_command)"
expect "and uninstalls" msiexec /x "$(win "$msi")" /qn

say "times under Wine: install $install_time s, upgrade (closing the collector) $upgrade_time s, uninstall (closing the collector) $uninstall_time s"
if [ "$failures" -ne 0 ]; then
  say "$failures checks failed"
  exit 1
fi
say "all checks passed"
