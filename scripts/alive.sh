# Sourced by the test environment's scripts (sh and bash alike).
# process_alive PID: true while the process runs. A killed process stays a zombie until
# its parent or PID 1 reaps it (a socat: about 1.3 s here), and kill -0 succeeds on a zombie:
# it counts as gone. The state follows the last ") " of /proc/PID/stat, since the name before it may
# hold spaces and parentheses.
process_alive() {
  [ -r "/proc/$1/stat" ] || return 1
  _process_state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)
  [ -n "$_process_state" ] && [ "$_process_state" != Z ]
}
