#!/usr/bin/env bash
# End to end through PC/SC: three emulated TAV712 readers (two on
# pseudo-terminals, one inside pcscd as README.md documents it), a private
# pcscd that loads libtav712_ifd.so for them, and clients: pcsc_scan, a
# pyscard program and opensc-tool. Every
# client runs under `timeout`, every wait polls for an event with a bound,
# every process started here is stopped by its PID, and the logs are shown
# when something fails.
#
# usage: e2e.sh TAV712_BINARY LIBTAV712_IFD_SO
set -uo pipefail

tav712=$(realpath "$1")
handler=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)

harness=e2e
# shellcheck source=../support/private_pcscd.sh
source "$here/../support/private_pcscd.sh"
if [ -z "${TAV712_PRIVATE_PCSCD:-}" ]; then
  for tool in pcscd pcsc_scan opensc-tool; do
    command -v "$tool" >/dev/null || { echo "e2e: $tool is missing (scripts/install-deps installs it)"; exit 1; }
  done
  /usr/bin/python3 -c 'import smartcard' 2>/dev/null || { echo "e2e: python3-pyscard is missing"; exit 1; }
fi
enter_private_pcscd_namespace "$0" "$@"

# 1. The readers: two emulators with a dual-protocol card, each on a
#    pseudo-terminal of its own.
start_emulator "$tav712" --card dual --duration 180000
emulator_a=$emulator pty_a=$pty
start_emulator "$tav712" --card dual --duration 180000
emulator_b=$emulator pty_b=$pty
step "emulators on $pty_a and $pty_b"

# 2. pcscd with a reader.conf of its own: both, and the emulated reader inside
#    pcscd with the README's lines as they stand (LIBPATH names this build).
documented=$(awk '/^    # reader.conf: the emulated TAV712 inside pcscd$/ { on = 1 }
                  on && !/^    / { exit }
                  on { sub(/^    /, ""); print }' "$here/../../README.md")
grep -q '^DEVICENAME emulator:' <<<"$documented" || fail "no documented reader.conf lines in README.md"
documented_name=$(sed -n 's/^FRIENDLYNAME "\(.*\)"$/\1/p' <<<"$documented")
cat >"$work/reader.conf" <<CONF
FRIENDLYNAME "Obelmar TAV712 A"
DEVICENAME $pty_a
LIBPATH $handler
CHANNELID 0

FRIENDLYNAME "Obelmar TAV712 B"
DEVICENAME $pty_b
LIBPATH $handler
CHANNELID 1

$(sed "s|^LIBPATH .*|LIBPATH $handler|" <<<"$documented")
CONF
start_pcscd "$work/reader.conf"
step "pcscd up"

# 3. pcsc_scan: the readers, a card's ATR, then a removal and an insertion.
timeout 90 pcsc_scan -n >"$work/pcsc_scan.log" 2>&1 &
scan=$!
pids+=("$scan")
for name in "Obelmar TAV712 A" "Obelmar TAV712 B" "$documented_name"; do
  wait_for 30 "reader $name in pcsc_scan" grep -q "$name" "$work/pcsc_scan.log"
done
wait_for 30 "ATR in pcsc_scan" grep -q "ATR: 3B" "$work/pcsc_scan.log"
inserted=$(count "$work/pcsc_scan.log" "Card inserted")
kill -USR1 "$emulator_a"
wait_for 30 "card removal in pcsc_scan" grep -q "Card removed" "$work/pcsc_scan.log"
kill -USR1 "$emulator_a"
wait_for 30 "card insertion in pcsc_scan" at_least "$work/pcsc_scan.log" "Card inserted" $((inserted + 1))
kill "$scan" 2>/dev/null
step "pcsc_scan: 3 readers listed, ATR $(grep -m1 -o 'ATR: [0-9A-F ]*' "$work/pcsc_scan.log" | cut -c6-), removal and insertion seen"

# 4. A pyscard program: sessions on one reader, the limits on the reader of
#    the documented lines, then the three readers at the same time.
pyscard() {
  local log=$work/pyscard-$1.log
  timeout 90 /usr/bin/python3 "$here/pcsc_client.py" "$@" >"$log" 2>&1 || fail "pyscard $*"
  grep -q "pyscard: all steps passed" "$log" || fail "pyscard $* did not finish"
}
pyscard sessions "Obelmar TAV712 A"
step "pyscard: $(grep -c '^T=' "$work/pyscard-sessions.log") APDUs over T=1 and T=0, vendor $(grep -m1 -o 'vendor name .*' "$work/pyscard-sessions.log" | cut -c13-)"
pyscard limits "$documented_name"
step "pyscard: $(grep -o 'a 65,546-byte command refused in [0-9.]* s' "$work/pyscard-limits.log"), $(grep -o 'a 307-byte chained command: .*' "$work/pyscard-limits.log"), the next client served"
pyscard together "Obelmar TAV712 A" "Obelmar TAV712 B" "$documented_name"
step "pyscard: $(grep -o '[0-9]* readers served at the same time.*' "$work/pyscard-together.log")"

# 5. OpenSC's tool reads the ATR (the APDUs went through pyscard).
timeout 60 opensc-tool -r 0 -a >"$work/opensc-atr.log" 2>&1 || fail "opensc-tool -a"
grep -qi "3b" "$work/opensc-atr.log" || fail "opensc-tool printed no ATR"
step "opensc-tool: ATR $(tr -d '\n' <"$work/opensc-atr.log" | grep -o '3[bB][0-9A-Fa-f: ]*' | head -c 40)"

# 6. Reader B unplugged (its emulator ends, the line hangs up): B is lost,
#    A keeps working.
kill "$emulator_b"
pyscard unplugged "Obelmar TAV712 B" "Obelmar TAV712 A"
step "pyscard: $(grep -o 'Obelmar TAV712 B.* unplugged.*' "$work/pyscard-unplugged.log"), reader A keeps working"

status=0
step "all clients passed"
