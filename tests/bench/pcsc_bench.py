"""Per-APDU times through pcscd, as a PC/SC application sees them: the same
APDU set as apdu_bench, each the median over the rounds. Prints
"apdu NAME SECONDS" lines, then "protocol T=N". Figures only, for
scripts/bench.

usage: pcsc_bench.py READER ROUNDS     (READER: the start of the reader's name)"""

import statistics
import sys
import time

from smartcard.scard import (SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1, SCARD_S_SUCCESS, SCARD_SCOPE_USER,
                             SCARD_SHARE_SHARED, SCARD_UNPOWER_CARD, SCardConnect, SCardDisconnect,
                             SCardEstablishContext, SCardGetErrorMessage, SCardListReaders, SCardReleaseContext,
                             SCardTransmit)

APDUS = [
    ("select", [0x00, 0xA4, 0x04, 0x0C, 0x06, 0xA0, 0x00, 0x00, 0x07, 0x12, 0x01]),
    ("select-file", [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x03]),
    ("read-16", [0x00, 0xB0, 0x00, 0x00, 0x10]),
    ("get-challenge", [0x00, 0x84, 0x00, 0x00, 0x08]),
    ("read-255", [0x00, 0xB0, 0x00, 0x00, 0xFF]),
    ("write-250", [0x00, 0xD6, 0x00, 0x00, 250] + list(range(250))),
]


def check(result, what):
    if result != SCARD_S_SUCCESS:
        sys.exit(f"pcsc_bench: {what}: {SCardGetErrorMessage(result)}")


def main():
    prefix, rounds = sys.argv[1], max(1, int(sys.argv[2]))
    result, context = SCardEstablishContext(SCARD_SCOPE_USER)
    check(result, "establish context")
    # pcscd adds its readers one after the other and then finds their
    # cards: wait for both, polling, at most 30 s.
    deadline = time.monotonic() + 30
    while True:
        result, readers = SCardListReaders(context, [])
        reader = next((r for r in readers if r.startswith(prefix)), None) if result == SCARD_S_SUCCESS else None
        if reader is not None:
            result, card, protocol = SCardConnect(context, reader, SCARD_SHARE_SHARED,
                                                  SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
            if result == SCARD_S_SUCCESS:
                break
        if time.monotonic() > deadline:
            check(result, f"connect to a reader named {prefix}...")
            sys.exit(f"pcsc_bench: no reader named {prefix}...")
        time.sleep(0.05)
    times = {name: [] for name, _ in APDUS}
    for _ in range(rounds):
        for name, apdu in APDUS:
            start = time.perf_counter()
            result, response = SCardTransmit(card, protocol, apdu)
            elapsed = time.perf_counter() - start
            check(result, f"transmit {name}")
            if response[-2:] != [0x90, 0x00]:
                sys.exit(f"pcsc_bench: {name} answered {bytes(response[-2:]).hex()}")
            times[name].append(elapsed)
    for name, _ in APDUS:
        print(f"apdu {name} {statistics.median(times[name]):.6f}")
    print(f"protocol T={0 if protocol == SCARD_PROTOCOL_T0 else 1}")
    SCardDisconnect(card, SCARD_UNPOWER_CARD)
    SCardReleaseContext(context)


if __name__ == "__main__":
    main()
