"""A PC/SC application written with pyscard, run against the TAV712 reader
that pcscd serves through libtav712_ifd.so: connect by T=1 and by T=0,
transmit, read an attribute, disconnect with reset and with unpower,
reconnect. Prints one line per step; exits non-zero on the first surprise."""

import sys

from smartcard.scard import (SCARD_ATTR_VENDOR_NAME, SCARD_LEAVE_CARD, SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1,
                             SCARD_RESET_CARD, SCARD_S_SUCCESS, SCARD_SCOPE_USER, SCARD_SHARE_SHARED,
                             SCARD_UNPOWER_CARD, SCardConnect, SCardDisconnect, SCardEstablishContext,
                             SCardGetAttrib, SCardListReaders, SCardReleaseContext, SCardTransmit,
                             SCardGetErrorMessage)

SELECT_APPLICATION = [0x00, 0xA4, 0x04, 0x0C, 0x06, 0xA0, 0x00, 0x00, 0x07, 0x12, 0x01]
SELECT_FILE = [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01]
READ_FOUR = [0x00, 0xB0, 0x00, 0x00, 0x04]


def check(result, what):
    if result != SCARD_S_SUCCESS:
        print(f"FAILED {what}: {SCardGetErrorMessage(result)}")
        sys.exit(1)


def exchange(card, protocol, apdu, expected):
    pci = {SCARD_PROTOCOL_T0: 0, SCARD_PROTOCOL_T1: 1}[protocol]
    result, response = SCardTransmit(card, protocol, apdu)
    check(result, f"transmit {bytes(apdu).hex()}")
    print(f"T={pci} {bytes(apdu).hex()} -> {bytes(response).hex()}")
    if response[-2:] != expected:
        print(f"FAILED: expected status {bytes(expected).hex()}")
        sys.exit(1)
    return response


def session(context, reader, protocol, disposition):
    result, card, active = SCardConnect(context, reader, SCARD_SHARE_SHARED, protocol)
    check(result, f"connect with protocol {protocol}")
    print(f"connected, active protocol {active}")
    if active != protocol:
        print("FAILED: another protocol was chosen")
        sys.exit(1)
    exchange(card, protocol, SELECT_APPLICATION, [0x90, 0x00])
    exchange(card, protocol, SELECT_FILE, [0x90, 0x00])
    data = exchange(card, protocol, READ_FOUR, [0x90, 0x00])
    if data[:4] != [0, 1, 2, 3]:
        print("FAILED: unexpected file contents")
        sys.exit(1)
    result, vendor = SCardGetAttrib(card, SCARD_ATTR_VENDOR_NAME)
    check(result, "get attribute vendor name")
    print(f"vendor name {bytes(vendor).rstrip(bytes(1)).decode()}")
    check(SCardDisconnect(card, disposition), "disconnect")
    print(f"disconnected with disposition {disposition}")


def main():
    result, context = SCardEstablishContext(SCARD_SCOPE_USER)
    check(result, "establish context")
    result, readers = SCardListReaders(context, [])
    check(result, "list readers")
    print(f"readers: {readers}")
    reader = readers[0]
    session(context, reader, SCARD_PROTOCOL_T1, SCARD_RESET_CARD)
    session(context, reader, SCARD_PROTOCOL_T0, SCARD_UNPOWER_CARD)
    session(context, reader, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD)
    check(SCardReleaseContext(context), "release context")
    print("pyscard: all steps passed")


if __name__ == "__main__":
    main()
