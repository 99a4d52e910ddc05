// Reader attributes and the vendor request: how the reader describes itself
// to the smart card library and to applications.
#pragma once

#include <wdm.h>
#include <smclib.h>

#include "include/tav712_public.h"

// Library interface version the driver is written for.
#define TAV712_SMCLIB_VERSION 0x150
#define TAV712_DRIVER_MAJOR 1
#define TAV712_DRIVER_MINOR 0
#define TAV712_CLOCK_KHZ 3580
#define TAV712_DATA_RATE 9600
#define TAV712_MAX_IFSD 254
#define TAV712_BUFFER_SIZE 576

// Fills the library version, the callback slots, the vendor attributes and
// the reader capabilities of a device being created. ReaderExtension must be set.
VOID InitReaderAttributes(PSMARTCARD_EXTENSION SmartcardExtension);

// Copies the reader's firmware version (read when the reader starts) into
// VendorAttr.IfdVersion, so the version attribute reports it.
VOID RecordFirmwareVersion(PSMARTCARD_EXTENSION SmartcardExtension);

// RDF_IOCTL_VENDOR callback: serves IOCTL_VENDOR_GET_VERSION for the request
// in OsData->CurrentIrp; sets its IoStatus but does not complete it.
NTSTATUS NTAPI VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension);
