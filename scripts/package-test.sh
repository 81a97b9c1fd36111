#!/usr/bin/env bash
# The package under Wine's msiexec, in a Wine prefix of its own with the virtual COM pairs (the
# other tests' prefix is left alone): the silent install and its service, which captures with no
# window open, from boot, across a stop and start and an upgrade, and leaves a complete file at
# uninstall; the logon entry's window; then the upgrade from the previous release (built here
# from its own sources) with its desktop collector capturing; and an install without the logon
# entry. Prints the times.
# Usage: scripts/package-test.sh BUILD PACKAGE_PROBE_EXE   (ctest runs it as package_tests)
set -u
build=$(cd "${1:-build}" && pwd) || exit 1
probe=$2
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/testenv.sh"

work=$build/pkgtest
# The previous release, 1.0.0.2: its last commit on main.
previous_commit=e2a94d0
collector=
cleanup() {
  [ -n "$collector" ] && kill "$collector" 2>/dev/null
  exec 7>&- 2>/dev/null
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
seconds_since() { local t=$(($(date +%s%N) - $1)); printf '%d.%02d' $((t / 1000000000)) $(((t / 10000000) % 100)); }
test_started=$(date +%s%N)

version=$(cat "$build/i686/version.txt")
testenv_detect_arch
mkdir -p "$work"
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

# The previous release's package, made by its own sources and scripts around its program built
# for this machine's Wine. Kept between runs: the build takes a minute.
previous=$work/previous
build_previous() {
  local src=$previous/src out=$previous/build-$TESTENV_ARCH fake=$previous/fake
  if [ "$(cat "$out/built-from" 2>/dev/null)" != "$previous_commit" ]; then
    rm -rf "$src" "$out"
    mkdir -p "$src"
    git -C "$root" archive "$previous_commit" | tar -x -C "$src" || return 1
    { cmake -S "$src" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-$TESTENV_ARCH.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCOLLECTOR_BUILD_TESTS=OFF &&
        cmake --build "$out" -j "$(nproc)" --target POSCollector; } >"$previous/build.log" 2>&1 || return 1
    echo "$previous_commit" >"$out/built-from"
  fi
  # Its package.sh takes the program from BUILD/i686, whatever it was built for.
  rm -rf "$fake" "$previous/dist"
  mkdir -p "$fake/i686"
  cp "$out/POSCollector.exe" "$out/version.txt" "$fake/i686/" &&
    bash "$src/scripts/package.sh" "$fake" "$previous/dist" >/dev/null
}
t0=$(date +%s%N)
build_previous || { fail "building the previous release from $previous_commit (no git history? see $previous/build.log)"; exit 1; }
previous_build_time=$(seconds_since "$t0")
previous_msi=$(ls "$previous"/dist/POSCollector-*.msi)
previous_version=$(basename "$previous_msi" .msi)
previous_version=${previous_version#POSCollector-}

# A prefix of its own with the COM pairs (the collector's window and tray icon need a display too).
testenv_start "$work" || { fail "the Wine prefix"; exit 1; }
# COM6, the terminal's end of COM5's cable, held open for the whole test.
exec 7<>"$TESTENV_DIR/ports/pair1-b" || { fail "opening COM6's end of the pair"; exit 1; }

# msiexec through a batch file: wine passes on only the low byte of an exit code (1603 -> 67).
printf '@msiexec %%*\r\n@echo %%errorlevel%%> "%%~dp0msiexec.rc"\r\n' >"$work/msiexec.bat"
msiexec_took=
msiexec_runs=0
# Where Wine's messages of an msiexec run and its actions go: Wine keeps no event log, and with
# warn+eventlog the events' texts are there.
msiexec_stderr=
msiexec() { # msiexec ARGS...: 0 when msiexec said 0; its time in msiexec_took (seconds)
  local t0 try rc
  for try in 1 2; do
    rm -f "$work/msiexec.rc"
    t0=$(date +%s%N)
    # Each run's log stays in the work folder, for a failure's post-mortem.
    msiexec_runs=$((msiexec_runs + 1))
    timeout 120 wine cmd /c "$(winepath -w "$work/msiexec.bat")" "$@" /l*v "$(win "$work")\\msiexec-$msiexec_runs.log" \
      </dev/null >/dev/null 2>>"${msiexec_stderr:-/dev/null}"
    msiexec_took=$(seconds_since "$t0")
    rc=$(tr -d '\r\n ' <"$work/msiexec.rc" 2>/dev/null)
    # Now and then Wine's cmd does not start at all under load (no exit code and no msiexec
    # log): that run never reached msiexec, so it is run again once.
    [ -n "$rc" ] || [ -e "$work/msiexec-$msiexec_runs.log" ] || [ "$try" = 2 ] || { say "cmd did not start msiexec: once more"; continue; }
    break
  done
  say "msiexec $* -> ${rc:-no exit code} in ${msiexec_took} s"
  [ "$rc" = 0 ]
}
win() { winepath -w "$1" 2>/dev/null; }

run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
settings_key='HKLM\SOFTWARE\Tarnwick\Orvane DVR\POSCollector'
service_key='HKLM\SYSTEM\CurrentControlSet\Services\OrvanePOSCollector'
program_dir="$WINEPREFIX/drive_c/Program Files (x86)/Orvane DVR/POSCollector"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Orvane POS Collector.lnk"
expected_command='"C:\Program Files (x86)\Orvane DVR\POSCollector\POSCollector.exe" /tray'
installed_exe='C:\Program Files (x86)\Orvane DVR\POSCollector\POSCollector.exe'
event_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Orvane POS Collector'
capture_dir="$WINEPREFIX/drive_c/ProgramData/Orvane DVR/POSCollector"
capture=$capture_dir/sales.txt
capture_windows='C:\ProgramData\Orvane DVR\POSCollector\sales.txt'

logon_command() {
  wine reg query "$run_key" /v "Orvane POS Collector" /reg:32 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *Orvane POS Collector *REG_SZ *//p'
}
setting() { # setting NAME [VIEW]: its data as reg prints it, empty when absent; the 32-bit view unless told
  wine reg query "$settings_key" /v "$1" /reg:"${2:-32}" 2>/dev/null | tr -d '\r' |
    awk -v n="$1" '$1 == n { sub(/^ *[^ ]+ +[^ ]+ +/, ""); print }'
}
seed_settings() { # seed_settings VIEW: the collector captures COM5 into the capture folder from its start
  local value name type data
  for value in "CommPort REG_DWORD 5" "BaudRate REG_DWORD 9600" "DataFile REG_SZ $capture_windows" "RunAtStartup REG_DWORD 1"; do
    read -r name type data <<<"$value"
    wine reg add "$settings_key" /v "$name" /t "$type" /d "$data" /f /reg:"$1" </dev/null >/dev/null 2>&1
  done
}
parameter() { # parameter NAME: a value of the service's Parameters key, as reg prints it
  wine reg query "$service_key\Parameters" /v "$1" /reg:64 2>/dev/null | tr -d '\r' |
    awk -v n="$1" '$1 == n { sub(/^ *[^ ]+ +[^ ]+ +/, ""); print }'
}
seed_parameters() { # as an administrator or a deployment tool would: COM5 into the capture folder from boot
  local value name type data
  for value in "CommPort REG_DWORD 5" "BaudRate REG_DWORD 9600" "DataFile REG_SZ $capture_windows" "RunAtStartup REG_DWORD 1"; do
    read -r name type data <<<"$value"
    wine reg add "$service_key\Parameters" /v "$name" /t "$type" /d "$data" /f /reg:64 </dev/null >/dev/null 2>&1
  done
}
service_settings_followed() { # within 10 s the settings key has the service's settings
  local i
  for i in $(seq 50); do settings_kept && return 0; sleep 0.2; done
  return 1
}
settings_kept() { [ "$(setting CommPort)" = 0x5 ] && [ "$(setting DataFile)" = "$capture_windows" ] && [ "$(setting RunAtStartup)" = 0x1 ]; }
event_source() { # the event source's message file and types, as "FILE|TYPES"; "absent" without its key
  local values
  values=$(wine reg query "$event_key" 2>/dev/null) || { echo absent; return; }
  values=$(echo "$values" | tr -d '\r')
  echo "$(echo "$values" | sed -n 's/^ *EventMessageFile *REG_[A-Z_]* *//p')|$(echo "$values" | sed -n 's/^ *TypesSupported *REG_DWORD *//p')"
}
products() { # the installed products of this name, as "code version" lines
  local view key
  for view in 32 64; do
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:$view 2>/dev/null | tr -d '\r' |
      awk '/^HKEY/ { key = $0 } /DisplayName.*Orvane POS Collector/ { hit[key] = 1 } /DisplayVersion/ { v[key] = $3 }
           END { for (k in hit) print k, v[k] }'
  done | sort -u
}
only_product() { # only_product VERSION: one product of this name is installed, of that version
  local installed
  installed=$(products)
  say "installed: ${installed:-none}"
  [ "$(echo "$installed" | grep -c .)" = 1 ] && [ "${installed##* }" = "$1" ]
}
product_version() { IFS=. read -r a b c d <<<"$1"; echo "$a.$b.$((c * 1000 + d))"; }

service_state() { # the service's state as the service manager gives it (RUNNING, STOPPED, ...); "absent" without it
  local out
  out=$(wine sc query OrvanePOSCollector </dev/null 2>/dev/null | tr -d '\r')
  out=$(echo "$out" | awk '$1 == "STATE" { print $4 }')
  echo "${out:-absent}"
}
service_becomes() { # service_becomes STATE SECONDS: the service is in STATE within SECONDS
  local i state
  for i in $(seq 1 $(($2 * 5))); do
    state=$(service_state)
    [ "$state" = "$1" ] && return 0
    sleep 0.2
  done
  say "  the service is $state"
  return 1
}
service_value() { # service_value NAME: the data of a value of the service's key, as reg prints it
  wine reg query "$service_key" /v "$1" 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n { sub(/^ *[^ ]+ +[^ ]+ +/, ""); print }'
}
service_installed_as_asked() {
  local start account image
  start=$(service_value Start)
  account=$(service_value ObjectName)
  image=$(service_value ImagePath)
  say "  Start $start, ObjectName $account, ImagePath $image"
  # Wine's msi writes the path unquoted; Windows Installer quotes it.
  [ "$start" = 0x2 ] && [ "$account" = 'NT AUTHORITY\LocalService' ] &&
    [ "$(echo "$image" | tr -d '"')" = "$installed_exe /service" ]
}
admin() { wine net "$@" OrvanePOSCollector </dev/null >/dev/null 2>&1; }

send() { # send NAME BYTES: that many random bytes from the terminal, kept as $work/NAME
  # Bounded: a port nobody reads takes only a few KiB.
  head -c "$2" /dev/urandom >"$work/$1" && timeout 10 cat "$work/$1" >&7
}
capture_holds() { # capture_holds NAME...: within 10 s the capture file is exactly those sends, in order
  local i part
  for part in "$@"; do cat "$work/$part"; done >"$work/expected"
  for i in $(seq 1 100); do
    cmp -s "$work/expected" "$capture" && return 0
    sleep 0.1
  done
  say "  the capture file has $(stat -c %s "$capture" 2>/dev/null || echo no) bytes, $(stat -c %s "$work/expected") expected"
  return 1
}
# A new capture opens its port, discarding what waited there, and then empties the file: once
# the file is empty the terminal may send. (A resumed capture keeps what waited.)
new_capture_started() { # the capture file, which the caller has left holding bytes, is emptied within 15 s
  local i
  for i in $(seq 1 150); do
    [ -f "$capture" ] && [ ! -s "$capture" ] && return 0
    sleep 0.1
  done
  return 1
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

say "package $(basename "$msi"): $(stat -c %s "$msi") bytes; upgrade to $next; previous release $previous_version (built in $previous_build_time s)"

# 1. Silent install. Nobody opens a window until the logon of step 4: the service captures.
msiexec_stderr=$work/install-events.txt
rm -f "$msiexec_stderr"
WINEDEBUG=-all,warn+eventlog
expect "silent install succeeds" msiexec /i "$(win "$msi")" /qn
install_time=$msiexec_took
install_log=$work/msiexec-$msiexec_runs.log
WINEDEBUG=-all
msiexec_stderr=
expect "the program is in Program Files (x86)\\Orvane DVR\\POSCollector" test -f "$program_dir/POSCollector.exe"
expect "the Start menu shortcut is in the all-users Programs folder" test -f "$shortcut"
expect "the logon entry starts the installed program with /tray" test "$(logon_command)" = "$expected_command"
expect "both settings keys exist with the Everyone entry alone and no values" probe keys
expect "the event source names the program as its message file, for all three event types" \
  test "$(event_source)" = "$installed_exe|0x7"
expect "the service runs" service_becomes RUNNING 10
expect "it starts automatically, as LocalService, the installed program with /service" service_installed_as_asked
expect "the capture folder is made" test -d "$capture_dir"
expect "the service's Parameters key is made with its protected list" probe parameters

# 2. A reboot with Run Collector At Startup: the service starts by itself and captures afresh,
# from the settings an administrator gave it (the settings key follows them).
seed_parameters
expect "the settings key follows the service's settings" service_settings_followed
echo "before the reboot" >"$capture"
t0=$(date +%s%N)
testenv_reboot
expect "after a reboot the service runs again" service_becomes RUNNING 30
expect "and, with Run Collector At Startup, starts a new capture (the file emptied)" new_capture_started
boot_time=$(seconds_since "$t0")
send boot 20000
expect "what the terminal sends is captured byte-exact" capture_holds boot

# 3. An administrator's stop and start: the capture goes on in the same file.
admin stop
# net stop returns while the service still stops.
expect "net stop stops the service" service_becomes STOPPED 15
admin start
expect "net start runs it again" service_becomes RUNNING 15
send restart 5000
expect "and the capture goes on, appending" capture_holds boot restart

# 3b. What undoes a stop when an uninstall or upgrade fails: the old version is removed inside
# the upgrade's transaction (after InstallInitialize, before the first action that writes the
# script), and a rollback action sequenced before the service's stop runs /startservice. Wine's
# msiexec rolls back neither a failed upgrade nor a failed uninstall (it leaves no version
# installed), so the tables are read, and the program's part is run as the rollback would run it.
sequence() { msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
removal_is_rolled_back() {
  local initialize remove first
  initialize=$(sequence InstallInitialize)
  remove=$(sequence RemoveExistingProducts)
  # The action that comes next after InstallInitialize must be the removal itself.
  first=$(msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' |
    awk -F'\t' -v i="$initialize" 'NR > 3 && $3 > i { print $3, $1 }' | sort -n | head -1)
  say "  InstallInitialize $initialize, then $first"
  [ -n "$remove" ] && [ "$first" = "$remove RemoveExistingProducts" ]
}
expect "the older version's removal is inside the upgrade's transaction" removal_is_rolled_back
rollback_starts_service() {
  local row
  # 3410: the installed exe (18), return ignored (64), rollback (256), in the script (1024), as the system (2048).
  row=$(msiinfo export "$msi" CustomAction | tr -d '\r' | awk -F'\t' '$1 == "StartServiceOnRollback" { print $2, $3, $4 }')
  say "  StartServiceOnRollback: $row at $(sequence StartServiceOnRollback), StopService at $(sequence StopService)"
  [ "$row" = "3410 POSCollectorExe /startservice" ] &&
    [ "$(sequence StartServiceOnRollback)" -lt "$(sequence StopService)" ] &&
    [ "$(msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' | awk -F'\t' '$1 == "StartServiceOnRollback" || $1 == "StopService" { print $2 }' | sort -u | wc -l)" = 1 ]
}
expect "a rollback action that starts the service comes before the stop it undoes, on the same condition" rollback_starts_service
admin stop
expect "with the service stopped" service_becomes STOPPED 15
startservice() { wine "$program_dir/POSCollector.exe" /startservice </dev/null >/dev/null 2>&1; }
expect "the rollback's /startservice succeeds" startservice
expect "and the service runs" service_becomes RUNNING 15
send rolled-back 5000
expect "and captures, appending" capture_holds boot restart rolled-back
expect "/startservice on a running service succeeds too" startservice

# 3c. The firewall rule for the recorders. Wine's firewall (hnetcfg) takes a rule and keeps none:
# INetFwRules::Add and Remove succeed and do nothing, Count is always 0, and Item, which tells
# whether a rule is there, is not implemented (E_NOTIMPL). So the program's rule ends here in the
# Warning the program gives a firewall it cannot configure, and the package goes on; the rule
# itself is tested against a fake (service_tests, FirewallRuleTest), the tables are read here.
firewall_actions() {
  local row rows=(
    # 3154: the installed exe (18), return ignored (64), in the script (1024), as the system (2048); 3410 adds rollback (256).
    "AddFirewallRule 3154 /addfirewallrule"
    "RemoveFirewallRuleOnRollback 3410 /removefirewallrule"
    "RemoveFirewallRule 3154 /removefirewallrule"
    "AddFirewallRuleOnRollback 3410 /addfirewallrule"
  )
  local action type command got ok=0
  for row in "${rows[@]}"; do
    read -r action type command <<<"$row"
    got=$(msiinfo export "$msi" CustomAction | tr -d '\r' | awk -F'\t' -v a="$action" '$1 == a { print $2, $3, $4 }')
    say "  $action: $got at $(sequence "$action")"
    [ "$got" = "$type POSCollectorExe $command" ] || ok=1
  done
  # Each rollback action before the one it undoes; the rule added after the service has its
  # own SID (ConfigureService), removed before the service stops.
  [ "$(sequence RemoveFirewallRuleOnRollback)" -lt "$(sequence AddFirewallRule)" ] &&
    [ "$(sequence ConfigureService)" -lt "$(sequence RemoveFirewallRuleOnRollback)" ] &&
    [ "$(sequence AddFirewallRule)" -lt "$(sequence StartServices)" ] &&
    [ "$(sequence AddFirewallRuleOnRollback)" -lt "$(sequence RemoveFirewallRule)" ] &&
    [ "$(sequence RemoveFirewallRule)" -lt "$(sequence StopService)" ] && return $ok
}
expect "the rule is added after the service is configured and removed before it stops, each undone on rollback" firewall_actions
action_ran() { # action_ran ACTION LOG: msiexec's log shows the action run
  grep -a -q -E "^Action start [0-9:]+: $1\.\$" <(tr -d '\r' <"$2") 2>/dev/null
}
expect "the install ran /addfirewallrule" action_ran AddFirewallRule "$install_log"
rule_warning() { # rule_warning FILE: Wine's firewall, noted as one that cannot say whether the rule is there
  grep -a -q 'ReportEventW L"Orvane POS Collector (recorders)"' "$1" &&
    grep -a -q 'ReportEventW L"Not implemented (0x80004001)"' "$1"
}
expect "which noted the rule it could not add, with the reason, and the install went on" rule_warning "$work/install-events.txt"
firewall_switch() { # firewall_switch SWITCH: the installed program's switch ends with 0 and notes why it could not
  WINEDEBUG=-all,warn+eventlog wine "$program_dir/POSCollector.exe" "$1" </dev/null >/dev/null 2>"$work/switch-events.txt" &&
    rule_warning "$work/switch-events.txt"
}
expect "/addfirewallrule, run as a rollback would, ends with 0" firewall_switch /addfirewallrule
expect "/removefirewallrule, run as a rollback would, ends with 0" firewall_switch /removefirewallrule

# 4. A logon: the logon entry's start is the service's window, hidden in the tray.
start_at_logon
expect "the logon start is hidden with its tray icon" probe tray
wine "$program_dir/POSCollector.exe" /tray </dev/null >/dev/null 2>&1 &
second=$!
expect "a second /tray start ends by itself" ended "$second" 10
expect "and leaves the first hidden" probe tray

# 5. An upgrade while the service captures and its window is open: stopped, replaced, started,
# nothing lost.
send before-upgrade 5000
msiexec_stderr=$work/upgrade-events.txt
rm -f "$msiexec_stderr"
WINEDEBUG=-all,warn+eventlog
expect "silent upgrade to $next succeeds while the service captures" msiexec /i "$(win "$next_msi")" /qn
upgrade_time=$msiexec_took
WINEDEBUG=-all
msiexec_stderr=
# Wine's msiexec runs the older version's removal in a process whose actions its log leaves
# out: its /removefirewallrule shows as the first of the two notes.
removed_and_added() {
  local notes
  notes=$(grep -a -c 'ReportEventW L"Orvane POS Collector (recorders)"' "$work/upgrade-events.txt")
  say "  $notes notes of the rule"
  action_ran AddFirewallRule "$work/msiexec-$msiexec_runs.log" && [ "$notes" = 2 ]
}
expect "it removed the older version's rule and added its own" removed_and_added
expect "the upgrade closed the window" ended "$collector" 10
collector=
expect "one product is installed, the later one" only_product "$(product_version "$next")"
expect "the service runs after the upgrade" service_becomes RUNNING 10
send after-upgrade 5000
expect "and the capture goes on in the same file" capture_holds boot restart rolled-back before-upgrade after-upgrade
installed=$(products)
refuse_older() { ! msiexec /i "$(win "$msi")" /qn && [ "$(products)" = "$installed" ]; }
expect "the older package refuses to install over it" refuse_older

# 6. Uninstall while the service captures and its window is open.
start_at_logon
expect "the upgraded program's window starts at logon in the tray" probe tray
send before-uninstall 20000
msiexec_stderr=$work/uninstall-events.txt
rm -f "$msiexec_stderr"
WINEDEBUG=-all,warn+eventlog
expect "silent uninstall succeeds while the service captures" msiexec /x "$(win "$next_msi")" /qn
uninstall_time=$msiexec_took
uninstall_log=$work/msiexec-$msiexec_runs.log
WINEDEBUG=-all
msiexec_stderr=
expect "the uninstall ran /removefirewallrule" action_ran RemoveFirewallRule "$uninstall_log"
expect "which noted the rule it could not remove, with the reason" rule_warning "$work/uninstall-events.txt"
expect "the uninstall closed the window" ended "$collector" 10
collector=
expect "the capture file holds everything sent before the uninstall" \
  capture_holds boot restart rolled-back before-upgrade after-upgrade before-uninstall
expect "the service is gone" test "$(service_state)" = absent
# Wine cannot delete the image of a running process.
expect "the program is gone: the service's process and the window had ended" test ! -e "$program_dir/POSCollector.exe"
expect "the shortcut is gone" test ! -e "$shortcut"
expect "the logon entry is gone" test -z "$(logon_command)"
expect "the event source is gone" test "$(event_source)" = absent
expect "the settings stay" settings_kept
expect "no product is left installed" test -z "$(products)"

# 7. The upgrade from the previous release, whose desktop collector captures from the logon
# entry. A PC that runs it has not had the service since it booted.
testenv_reboot
# Its 64-bit build, which stands in for it where this machine runs no 32-bit programs, keeps
# its settings in the 64-bit view: the shipped 32-bit program shares the service's.
previous_view=32
[ "$TESTENV_ARCH" = i686 ] || { previous_view=64; seed_settings 64; }
expect "the $previous_version package installs" msiexec /i "$(win "$previous_msi")" /qn
start_at_logon
expect "its collector starts at logon, hidden in the tray" probe tray
expect "and starts a new capture, with Run Collector At Startup" new_capture_started
send desktop 5000
expect "it captures" capture_holds desktop
expect "a baud rate is picked in it" probe baud 19200
expect "silent upgrade from $previous_version succeeds" msiexec /i "$(win "$msi")" /qn
previous_upgrade_time=$msiexec_took
expect "the upgrade closed the desktop collector" ended "$collector" 10
collector=
expect "which saved its settings" test "$(setting BaudRate $previous_view)" = 0x4b00
expect "and the settings stay" settings_kept
expect "one product is installed, this one" only_product "$(product_version "$version")"
expect "the service runs" service_becomes RUNNING 10
expect "and starts a new capture, as at boot" new_capture_started
send service 5000
expect "the service captures with the kept settings" capture_holds service
expect "uninstall succeeds" msiexec /x "$(win "$msi")" /qn

# 8. STARTATLOGON=0, with the service's settings on the command line as a deployment gives them;
# a value that is not valid fails the install first.
refused_install() { ! msiexec /i "$(win "$msi")" BAUDRATE=fast /qn /norestart && test -z "$(products)"; }
expect "an install with BAUDRATE=fast fails and installs nothing" refused_install
expect "install with STARTATLOGON=0 and settings succeeds" msiexec /i "$(win "$msi")" STARTATLOGON=0 COMMPORT=COM7 \
  BAUDRATE=19200 PARITY=EVEN OPERATORS="BUILTIN\Users;BUILTIN\Power Users" /qn /norestart
installed_with_service() { test -f "$program_dir/POSCollector.exe" && service_becomes RUNNING 10; }
expect "it installs the program and its service" installed_with_service
expect "it leaves the logon entry out" test -z "$(logon_command)"
given_and_kept() {
  [ "$(parameter CommPort)" = 0x7 ] && [ "$(parameter BaudRate)" = 0x4b00 ] && [ "$(parameter Parity)" = 0x0 ] &&
    [ "$(parameter DataFile)" = "$capture_windows" ] && [ "$(parameter RunAtStartup)" = 0x1 ] &&
    [ "$(parameter Operators)" = 'BUILTIN\Users\0BUILTIN\Power Users' ]
}
expect "the given settings are in the Parameters key, the others as they were" given_and_kept
expect "which keeps its protected list" probe parameters
expect "and uninstalls" msiexec /x "$(win "$msi")" /qn

say "times under Wine: install $install_time s, reboot to a new capture $boot_time s, upgrade (stopping the service) $upgrade_time s, uninstall (stopping the service) $uninstall_time s, upgrade from $previous_version (closing its collector) $previous_upgrade_time s; whole test $(seconds_since "$test_started") s"
if [ "$failures" -ne 0 ]; then
  say "$failures checks failed"
  exit 1
fi
say "all checks passed"
