// What the TAV712 driver offers applications beyond the smart card requests
// every reader serves: the device-interface class its readers register, the
// vendor control request and the record that request answers with. The one
// driver header that applications include.
#pragma once

#include <wdm.h>
#include <winsmcrd.h>

// The smart card reader device-interface class; the DDK headers do not all
// carry it.
DEFINE_GUID(GUID_DEVINTERFACE_SMARTCARD_READER, 0x50DD5230L, 0xBA8A, 0x11D1, 0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5,
            0x30);

// Reports the library's, the driver's and the reader firmware's versions.
#ifndef IOCTL_VENDOR_GET_VERSION
#define IOCTL_VENDOR_GET_VERSION CTL_CODE(FILE_DEVICE_SMARTCARD, 2049, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

// The 8-byte answer of IOCTL_VENDOR_GET_VERSION, little-endian.
typedef struct _VENDOR_VERSION_INFO {
  ULONG LibraryVersion;
  UCHAR DriverMajor;
  UCHAR DriverMinor;
  UCHAR FirmwareMajor;
  UCHAR FirmwareMinor;
} VENDOR_VERSION_INFO, *PVENDOR_VERSION_INFO;

static_assert(sizeof(VENDOR_VERSION_INFO) == 8, "the version answer is 8 bytes on the wire");
static_assert(IOCTL_VENDOR_GET_VERSION == 0x00312004, "vendor control code");
