"""A PC/SC application written with pyscard, run against the TAV712 readers
that pcscd serves through libtav712_ifd.so. Prints one line per step; exits
non-zero on the first surprise.

usage: pcsc_client.py sessions READER       T=1 and T=0 sessions, attributes, dispositions
       pcsc_client.py limits READER         a command too long for the reader, a chained one, then a session
       pcsc_client.py together READER...    APDUs on every reader at the same time, one thread each
       pcsc_client.py unplugged GONE READER GONE's reader is lost, READER keeps working

READER is the start of a reader's name as pcscd lists it."""

import sys
import threading
import time

from smartcard.scard import (SCARD_ATTR_VENDOR_NAME, SCARD_LEAVE_CARD, SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1,
                             SCARD_RESET_CARD, SCARD_S_SUCCESS, SCARD_SCOPE_USER, SCARD_SHARE_SHARED,
                             SCARD_UNPOWER_CARD, SCardConnect, SCardDisconnect, SCardEstablishContext,
                             SCardGetAttrib, SCardListReaders, SCardReleaseContext, SCardTransmit,
                             SCardGetErrorMessage)

SELECT_APPLICATION = [0x00, 0xA4, 0x04, 0x0C, 0x06, 0xA0, 0x00, 0x00, 0x07, 0x12, 0x01]
SELECT_FILE = [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01]
READ_FOUR = [0x00, 0xB0, 0x00, 0x00, 0x04]


def fail(message):
    print(f"FAILED {message}")
    sys.exit(1)


def check(result, what):
    if result != SCARD_S_SUCCESS:
        fail(f"{what}: {SCardGetErrorMessage(result)}")


def reader_named(context, prefix):
    result, readers = SCardListReaders(context, [])
    check(result, "list readers")
    for reader in readers:
        if reader.startswith(prefix):
            return reader
    fail(f"no reader named {prefix}... among {readers}")


def exchange(card, protocol, apdu, expected, quiet=False):
    pci = {SCARD_PROTOCOL_T0: 0, SCARD_PROTOCOL_T1: 1}[protocol]
    result, response = SCardTransmit(card, protocol, apdu)
    check(result, f"transmit {bytes(apdu[:16]).hex()}")
    if not quiet:
        print(f"T={pci} {bytes(apdu).hex()} -> {bytes(response).hex()}")
    if expected is not None and response[-2:] != expected:
        fail(f"expected status {bytes(expected).hex()}, got {bytes(response).hex()}")
    return response


def connect(context, reader, protocol):
    result, card, active = SCardConnect(context, reader, SCARD_SHARE_SHARED, protocol)
    check(result, f"connect to {reader} with protocol {protocol}")
    if active != protocol:
        fail("another protocol was chosen")
    return card


def session(context, reader, protocol, disposition, quiet=False):
    card = connect(context, reader, protocol)
    if not quiet:
        print(f"connected, active protocol {protocol}")
    exchange(card, protocol, SELECT_APPLICATION, [0x90, 0x00], quiet)
    exchange(card, protocol, SELECT_FILE, [0x90, 0x00], quiet)
    data = exchange(card, protocol, READ_FOUR, [0x90, 0x00], quiet)
    if data[:4] != [0, 1, 2, 3]:
        fail("unexpected file contents")
    if not quiet:
        result, vendor = SCardGetAttrib(card, SCARD_ATTR_VENDOR_NAME)
        check(result, "get attribute vendor name")
        print(f"vendor name {bytes(vendor).rstrip(bytes(1)).decode()}")
    check(SCardDisconnect(card, disposition), "disconnect")
    if not quiet:
        print(f"disconnected with disposition {disposition}")


def sessions(context, prefix):
    reader = reader_named(context, prefix)
    print(f"reader: {reader}")
    session(context, reader, SCARD_PROTOCOL_T1, SCARD_RESET_CARD)
    session(context, reader, SCARD_PROTOCOL_T0, SCARD_UNPOWER_CARD)
    session(context, reader, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD)


def limits(context, prefix):
    reader = reader_named(context, prefix)
    card = connect(context, reader, SCARD_PROTOCOL_T1)
    # One byte more than the smart card library's command buffer (pcscd
    # itself takes up to 65,548): refused at once, before the reader.
    started = time.monotonic()
    result, _ = SCardTransmit(card, SCARD_PROTOCOL_T1, [0x00, 0xD6, 0x00, 0x00] + [0x5A] * 65542)
    took = time.monotonic() - started
    if result == SCARD_S_SUCCESS or took > 2:
        fail(f"a 65,546-byte command: {SCardGetErrorMessage(result)} after {took:.1f} s")
    print(f"a 65,546-byte command refused in {took:.2f} s: {SCardGetErrorMessage(result)}")
    # UPDATE BINARY with 300 data bytes behind an extended Lc: chained over
    # T=1 (the card answers with its status for a length it does not take;
    # on a starved machine the exchange may fail, which must not lose the
    # reader either).
    started = time.monotonic()
    result, response = SCardTransmit(card, SCARD_PROTOCOL_T1,
                                     [0x00, 0xD6, 0x00, 0x00, 0x00, 0x01, 0x2C] + [0x5A] * 300)
    outcome = bytes(response).hex() if result == SCARD_S_SUCCESS else SCardGetErrorMessage(result)
    print(f"a 307-byte chained command: {outcome} in {time.monotonic() - started:.2f} s")
    check(SCardDisconnect(card, SCARD_RESET_CARD), "disconnect")
    # The next client finds the reader as before.
    result, fresh = SCardEstablishContext(SCARD_SCOPE_USER)
    check(result, "establish a new context")
    session(fresh, reader, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, quiet=True)
    check(SCardReleaseContext(fresh), "release the new context")
    print("the next client is served")


def together(context, prefixes, reads=8):
    """Every reader reads the same file over T=1 at the same time, one thread
    each; every answer must be the card's, complete, and the same on every
    reader (two readers' exchanges must never mix)."""
    readers = [reader_named(context, prefix) for prefix in prefixes]
    # The reads start together once every reader has its card selected.
    selected = threading.Barrier(len(readers), timeout=60)
    spans, answers, failures = {}, {}, []

    def serve(reader):
        own = None
        try:
            result, own = SCardEstablishContext(SCARD_SCOPE_USER)
            if result != SCARD_S_SUCCESS:
                raise RuntimeError(f"context: {SCardGetErrorMessage(result)}")
            result, card, _ = SCardConnect(own, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1)
            if result != SCARD_S_SUCCESS:
                raise RuntimeError(f"connect: {SCardGetErrorMessage(result)}")
            for apdu in (SELECT_APPLICATION, SELECT_FILE):
                result, response = SCardTransmit(card, SCARD_PROTOCOL_T1, apdu)
                if result != SCARD_S_SUCCESS or response != [0x90, 0x00]:
                    raise RuntimeError(f"{bytes(apdu).hex()}: {SCardGetErrorMessage(result)} {bytes(response).hex()}")
            selected.wait()
            started = time.monotonic()
            answers[reader] = []
            for _ in range(reads):
                result, response = SCardTransmit(card, SCARD_PROTOCOL_T1, READ_FOUR)
                if result != SCARD_S_SUCCESS:
                    raise RuntimeError(f"read: {SCardGetErrorMessage(result)}")
                answers[reader].append(bytes(response).hex())
            spans[reader] = (started, time.monotonic())
            SCardDisconnect(card, SCARD_LEAVE_CARD)
        except (RuntimeError, threading.BrokenBarrierError) as error:
            failures.append(f"{reader}: {error or 'another reader failed first'}")
            selected.abort()
        finally:
            if own is not None:
                SCardReleaseContext(own)

    threads = [threading.Thread(target=serve, args=(reader,)) for reader in readers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        fail("; ".join(failures))
    expected = answers[readers[0]][0]
    if len(expected) != 12 or not expected.endswith("9000"):
        fail(f"READ BINARY of 4 bytes answered {expected}")
    for reader, seen in answers.items():
        if any(answer != expected for answer in seen):
            fail(f"{reader} answered {seen}, the card's answer is {expected}")
    # Every reader was in the middle of its reads while each other one was.
    if max(start for start, _ in spans.values()) >= min(end for _, end in spans.values()):
        fail(f"the readers were served one after the other: {spans}")
    print(f"{len(readers)} readers served at the same time, {reads} reads each, every answer {expected}")


def unplugged(context, gone_prefix, prefix):
    gone = reader_named(context, gone_prefix)
    reader = reader_named(context, prefix)
    started = time.monotonic()
    deadline = started + 10
    while True:
        result, card, _ = SCardConnect(context, gone, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1)
        if result == SCARD_S_SUCCESS:
            result, _ = SCardTransmit(card, SCARD_PROTOCOL_T1, SELECT_APPLICATION)
            SCardDisconnect(card, SCARD_LEAVE_CARD)
        if result != SCARD_S_SUCCESS:
            break
        if time.monotonic() > deadline:
            fail(f"{gone} still answers after it was unplugged")
        time.sleep(0.1)
    print(f"{gone} unplugged: {SCardGetErrorMessage(result)} after {time.monotonic() - started:.2f} s")
    session(context, reader, SCARD_PROTOCOL_T1, SCARD_RESET_CARD, quiet=True)
    session(context, reader, SCARD_PROTOCOL_T0, SCARD_RESET_CARD, quiet=True)
    print(f"{reader} keeps working")


def main():
    if len(sys.argv) < 3:
        fail(__doc__)
    result, context = SCardEstablishContext(SCARD_SCOPE_USER)
    check(result, "establish context")
    command, arguments = sys.argv[1], sys.argv[2:]
    if command == "sessions":
        sessions(context, arguments[0])
    elif command == "limits":
        limits(context, arguments[0])
    elif command == "together":
        together(context, arguments)
    elif command == "unplugged":
        unplugged(context, arguments[0], arguments[1])
    else:
        fail(__doc__)
    check(SCardReleaseContext(context), "release context")
    print(f"pyscard: all steps passed ({command})")


if __name__ == "__main__":
    main()
