#pragma once
// The serial port driver as the kernel sees it: its entry routine, and its
// driver object, loaded with the first port.

#include <wdm.h>

namespace serial {

NTSTATUS NTAPI SerialDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Loads the driver on first use (per kernel instance) and returns its object.
PDRIVER_OBJECT serialDriverObject();

}  // namespace serial
