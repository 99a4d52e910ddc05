# Shared by the tests that run a private pcscd with the TAV712 emulator on a
# pseudo-terminal (tests/pcsc/e2e.sh, tests/packaging/deb_package_test.sh).
# Source it from a bash script that runs with `set -uo pipefail`, after
# setting `harness` to the name its messages carry:
#
#   harness=e2e
#   source "$here/../support/private_pcscd.sh"
#   enter_private_pcscd_namespace "$0" "$@"   # returns only inside it
#
# pcscd's socket lives in /run/pcscd; a private mount namespace with a tmpfs
# there keeps the run away from any pcscd of the machine. Every process
# started through this file is stopped by its PID when the script ends, every
# wait polls for an event with a bound, and the logs in $work are shown when
# the script fails.

# Re-executes the calling script in a private mount namespace (once), then
# mounts the private /run/pcscd and makes the work folder.
enter_private_pcscd_namespace() {
  if [ -z "${TAV712_PRIVATE_PCSCD:-}" ]; then
    command -v unshare >/dev/null || { echo "$harness: unshare is missing"; exit 1; }
    mkdir -p /run/pcscd
    exec unshare --mount --propagation private env TAV712_PRIVATE_PCSCD=1 "$@"
  fi
  mount -t tmpfs tmpfs /run/pcscd || { echo "$harness: cannot mount a private /run/pcscd"; exit 1; }
  work=$(mktemp -d "/tmp/tav712-$harness.XXXXXX")
  pids=()
  status=1
  started=$(date +%s.%N)
  trap finish_private_pcscd EXIT
}

finish_private_pcscd() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  if [ "$status" -ne 0 ]; then
    for log in "$work"/*.log "$work"/*.out "$work"/*.err; do
      [ -s "$log" ] || continue
      echo "---- $(basename "$log") (last 60 lines)"
      tail -n 60 "$log"
    done
  else
    rm -rf "$work"
  fi
}

fail() { echo "$harness: FAILED: $*"; exit 1; }
step() {
  printf '%s %6.2fs  %s\n' "$harness" "$(awk -v a="$(date +%s.%N)" -v b="$started" 'BEGIN { print a - b }')" "$*"
}

# Polls a condition every 50 ms for at most $1 seconds.
wait_for() {
  local limit=$1 what=$2
  shift 2
  local deadline=$(($(date +%s%N) + limit * 1000000000))
  until "$@" 2>/dev/null; do
    [ "$(date +%s%N)" -lt "$deadline" ] || fail "no $what within ${limit}s"
    sleep 0.05
  done
}
count() { grep -c -- "$2" "$1" 2>/dev/null || true; }
at_least() { [ "$(count "$1" "$2")" -ge "$3" ]; }

# start_emulator TAV712_BINARY ARGUMENTS...: an emulated reader on a
# pseudo-terminal of its own; sets `emulator` (its PID) and `pty` (its path).
emulators_started=0
start_emulator() {
  local binary=$1
  shift
  emulators_started=$((emulators_started + 1))
  local log=$work/emulator-$emulators_started
  "$binary" emulate "$@" >"$log.out" 2>"$log.err" &
  emulator=$!
  pids+=("$emulator")
  wait_for 10 "emulator $emulators_started pseudo-terminal" test -s "$log.out"
  pty=$(head -n 1 "$log.out")
}

# start_pcscd READER_CONF [LOG_NAME]: a pcscd in the foreground on that
# configuration; returns once its socket is there.
start_pcscd() {
  local log=$work/${2:-pcscd}.log
  rm -f /run/pcscd/pcscd.comm
  TAV712_IFD_TRACE=1 pcscd --foreground --debug --config "$1" >"$log" 2>&1 &
  pcscd_pid=$!
  pids+=("$pcscd_pid")
  wait_for 10 "pcscd socket" test -S /run/pcscd/pcscd.comm
}
