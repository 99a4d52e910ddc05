// Driver frame: the entry points that the kernel calls. Driver entry and
// device lifetime (DriverEntry.cpp), create/close/cleanup/device-control
// dispatch (Dispatch.cpp), Plug and Play (PlugAndPlay.cpp) and power
// management (Power.cpp).
#pragma once

#include <wdm.h>
#include <smclib.h>

#include "driver/DriverEntry.h"
#include "include/tav712.h"
#include "include/tav712_public.h"
#include "link/ReaderCommands.h"
#include "link/ReaderStart.h"
#include "link/SerialChannel.h"

// PowerState of the reader record.
#define READER_POWER_STATE_D0 1
#define READER_POWER_STATE_D3 2

// Pool tag of the reader record ("TAV7" in a pool dump).
#define TAV712_READER_POOL_TAG ((ULONG)0x37564154)

// Pause after a device power-down has stopped the reader, so that the reader
// has settled before its power goes.
#define POWER_DOWN_SETTLE_MS 200

// Code placement of a kernel image: DriverEntry runs once and may be
// discarded, the device-lifetime routines run at passive level only and may
// be paged. The user-mode build keeps everything in one text section.
#if defined(__MINGW64__)
#define TAV712_INIT_CODE __attribute__((section("INIT")))
#define TAV712_PAGED_CODE __attribute__((section("PAGE")))
#else
#define TAV712_INIT_CODE
#define TAV712_PAGED_CODE
#endif

// True while the serial port is open, that is, from a successful reader
// start until the port has been closed again; the device interface is
// enabled in that time.
inline BOOLEAN ReaderLinkOpen(PDEVICE_EXTENSION DeviceExtension) {
  return KeReadStateEvent(&DeviceExtension->SerialCloseDone) == 0;
}

// Entry and device lifetime.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS CreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject);
VOID RemoveDevice(PDEVICE_OBJECT DeviceObject);
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);

// Request dispatch.
NTSTATUS NTAPI CreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI Cleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Closes the device-control gate for good: requests waiting at it and every
// later one end with STATUS_DELETE_PENDING.
VOID ReleaseGateForRemoval(PDEVICE_EXTENSION DeviceExtension);

// Plug and Play.
NTSTATUS NTAPI PnP(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Power management.
NTSTATUS NTAPI Power(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PVOID Context, PIO_STATUS_BLOCK IoStatus);
