#!/usr/bin/env bash
# End to end through PC/SC: the emulated TAV712 on a pseudo-terminal, a
# private pcscd that loads libtav712_ifd.so for it, and clients nobody here
# wrote: pcsc_scan, a pyscard program and opensc-tool. Every
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

# 1. The reader: the emulator with a dual-protocol card on a pseudo-terminal.
start_emulator "$tav712" --card dual --duration 180000
step "emulator on $pty"

# 2. pcscd with a reader.conf of its own.
cat >"$work/reader.conf" <<CONF
FRIENDLYNAME "Obelmar TAV712"
DEVICENAME $pty
LIBPATH $handler
CHANNELID 0
CONF
start_pcscd "$work/reader.conf"
step "pcscd up"

# 3. pcsc_scan: the reader, the card's ATR, then a removal and an insertion.
timeout 90 pcsc_scan -n >"$work/pcsc_scan.log" 2>&1 &
scan=$!
pids+=("$scan")
wait_for 30 "reader in pcsc_scan" grep -q "Obelmar TAV712" "$work/pcsc_scan.log"
wait_for 30 "ATR in pcsc_scan" grep -q "ATR: 3B" "$work/pcsc_scan.log"
inserted=$(count "$work/pcsc_scan.log" "Card inserted")
kill -USR1 "$emulator"
wait_for 30 "card removal in pcsc_scan" grep -q "Card removed" "$work/pcsc_scan.log"
kill -USR1 "$emulator"
wait_for 30 "card insertion in pcsc_scan" at_least "$work/pcsc_scan.log" "Card inserted" $((inserted + 1))
kill "$scan" 2>/dev/null
step "pcsc_scan: reader listed, ATR $(grep -m1 -o 'ATR: [0-9A-F ]*' "$work/pcsc_scan.log" | cut -c6-), removal and insertion seen"

# 4. A pyscard program: T=1 and T=0 sessions, attributes, dispositions.
timeout 90 /usr/bin/python3 "$here/pcsc_client.py" >"$work/pyscard.log" 2>&1 || fail "pyscard client"
grep -q "pyscard: all steps passed" "$work/pyscard.log" || fail "pyscard client did not finish"
step "pyscard: $(grep -c '^T=' "$work/pyscard.log") APDUs over T=1 and T=0, vendor $(grep -m1 -o 'vendor name .*' "$work/pyscard.log" | cut -c13-)"

# 5. OpenSC's tool reads the ATR (the APDUs went through pyscard).
timeout 60 opensc-tool -r 0 -a >"$work/opensc-atr.log" 2>&1 || fail "opensc-tool -a"
grep -qi "3b" "$work/opensc-atr.log" || fail "opensc-tool printed no ATR"
step "opensc-tool: ATR $(tr -d '\n' <"$work/opensc-atr.log" | grep -o '3[bB][0-9A-Fa-f: ]*' | head -c 40)"

status=0
step "all clients passed"
