// Reader attributes and the vendor request.
//
// IOCTL_VENDOR_GET_VERSION answer, 8 bytes little-endian:
//   0..3 library interface version   4 driver major   5 driver minor
//   6 firmware major                 7 firmware minor

#include "card/ReaderAttributes.h"

#include "card/CardPower.h"
#include "card/CardState.h"
#include "card/ProtocolSelection.h"
#include "card/Transmit.h"
#include "include/tav712.h"

static const char VendorName[] = "Obelmar";
static const char IfdType[] = "PnP TAV712";
static_assert(sizeof(VendorName) == 8, "vendor name with its terminating zero");
static_assert(sizeof(IfdType) == 11, "reader type with its terminating zero");

// The one data rate the reader runs the card at.
static ULONG DataRatesSupported[] = {TAV712_DATA_RATE};

VOID InitReaderAttributes(PSMARTCARD_EXTENSION SmartcardExtension) {
  ASSERT(SmartcardExtension != NULL && SmartcardExtension->ReaderExtension != NULL);
  PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
  PVENDOR_ATTR vendor = &SmartcardExtension->VendorAttr;
  PSCARD_READER_CAPABILITIES reader = &SmartcardExtension->ReaderCapabilities;

  SmartcardExtension->Version = TAV712_SMCLIB_VERSION;

  SmartcardExtension->ReaderFunction[RDF_CARD_POWER] = CardPower;
  SmartcardExtension->ReaderFunction[RDF_TRANSMIT] = Transmit;
  SmartcardExtension->ReaderFunction[RDF_CARD_TRACKING] = CardTracking;
  SmartcardExtension->ReaderFunction[RDF_SET_PROTOCOL] = SetProtocol;
  SmartcardExtension->ReaderFunction[RDF_IOCTL_VENDOR] = VendorIoctl;

  static_assert(sizeof(vendor->VendorName.Buffer) >= sizeof(VendorName), "vendor name fits");
  static_assert(sizeof(vendor->IfdType.Buffer) >= sizeof(IfdType), "reader type fits");
  RtlCopyMemory(vendor->VendorName.Buffer, VendorName, sizeof(VendorName));
  vendor->VendorName.Length = sizeof(VendorName);
  RtlCopyMemory(vendor->IfdType.Buffer, IfdType, sizeof(IfdType));
  vendor->IfdType.Length = sizeof(IfdType);

  // Readers are told apart by the slot each device holds.
  vendor->UnitNo = ((PDEVICE_EXTENSION)SmartcardExtension)->DeviceInstance;
  vendor->IfdVersion.BuildNumber = 0;
  vendor->IfdVersion.VersionMajor = readerExtension->FirmwareMajor;
  vendor->IfdVersion.VersionMinor = readerExtension->FirmwareMinor;
  vendor->IfdSerialNo.Length = 0;

  reader->SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  reader->ReaderType = SCARD_READER_TYPE_SERIAL;
  reader->MechProperties = 0;
  reader->Channel = 0;
  reader->CLKFrequency.Default = TAV712_CLOCK_KHZ;
  reader->CLKFrequency.Max = TAV712_CLOCK_KHZ;
  reader->DataRate.Default = DataRatesSupported[0];
  reader->DataRate.Max = DataRatesSupported[0];
  reader->DataRatesSupported.List = DataRatesSupported;
  reader->DataRatesSupported.Entries = sizeof(DataRatesSupported) / sizeof(DataRatesSupported[0]);
  reader->MaxIFSD = TAV712_MAX_IFSD;

  SmartcardExtension->SmartcardRequest.BufferSize = TAV712_BUFFER_SIZE;
  SmartcardExtension->SmartcardReply.BufferSize = TAV712_BUFFER_SIZE;
}

VOID RecordFirmwareVersion(PSMARTCARD_EXTENSION SmartcardExtension) {
  ASSERT(SmartcardExtension != NULL && SmartcardExtension->ReaderExtension != NULL);
  SmartcardExtension->VendorAttr.IfdVersion.VersionMajor = SmartcardExtension->ReaderExtension->FirmwareMajor;
  SmartcardExtension->VendorAttr.IfdVersion.VersionMinor = SmartcardExtension->ReaderExtension->FirmwareMinor;
}

NTSTATUS NTAPI VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension) {
  ASSERT(SmartcardExtension != NULL && SmartcardExtension->OsData != NULL);
  PIRP irp = SmartcardExtension->OsData->CurrentIrp;
  ASSERT(irp != NULL);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);

  irp->IoStatus.Information = 0;
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;

  if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_VENDOR_GET_VERSION) {
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(VENDOR_VERSION_INFO)) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      VENDOR_VERSION_INFO info;
      info.LibraryVersion = SmartcardExtension->Version;
      info.DriverMajor = TAV712_DRIVER_MAJOR;
      info.DriverMinor = TAV712_DRIVER_MINOR;
      info.FirmwareMajor = SmartcardExtension->ReaderExtension->FirmwareMajor;
      info.FirmwareMinor = SmartcardExtension->ReaderExtension->FirmwareMinor;
      RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &info, sizeof(info));
      irp->IoStatus.Information = sizeof(info);
      status = STATUS_SUCCESS;
    }
  }

  irp->IoStatus.Status = status;
  return status;
}
