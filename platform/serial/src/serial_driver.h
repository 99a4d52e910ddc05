#pragma once
// The serial port driver as the kernel sees it: its entry routine, and its
// driver object, loaded with the first port.

#include <wdm.h>

namespace serial {

NTSTATUS NTAPI SerialDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace serial
