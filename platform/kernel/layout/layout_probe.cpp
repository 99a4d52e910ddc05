// Offsets and sizes of every record a driver shares with the kernel, the
// serial port driver and the smart card library, and of the driver's own
// device records that embed them.
//
// scripts/check-kernel-build compiles this file twice to assembly: with the
// host compiler over the platform's headers, and with mingw-w64 over its DDK
// headers (and the same smclib.h). Each LAYOUT_* line leaves a comment
// "#LAYOUT <name> <offset> <size>" in the assembly; the two lists must be
// equal line for line. Nothing here is ever linked or run.
#include <wdm.h>
#include <ntddser.h>
#include <winsmcrd.h>
#include <smclib.h>

#include "include/tav712.h"

// The operands are compile-time constants ("i"); %c prints them bare.
#define LAYOUT_FIELD(type, field)                     \
  asm volatile("#LAYOUT " #type "." #field " %c0 %c1" \
               :                                      \
               : "i"(offsetof(type, field)), "i"(sizeof(static_cast<type*>(nullptr)->field)))
#define LAYOUT_POSITION(type, field) asm volatile("#LAYOUT " #type "." #field " %c0 -" : : "i"(offsetof(type, field)))
#define LAYOUT_SIZE(type) asm volatile("#LAYOUT sizeof(" #type ") - %c0" : : "i"(sizeof(type)))

void LayoutProbe() {
  // Base types.
  LAYOUT_SIZE(CHAR);
  LAYOUT_SIZE(SHORT);
  LAYOUT_SIZE(LONG);
  LAYOUT_SIZE(ULONG);
  LAYOUT_SIZE(LONGLONG);
  LAYOUT_SIZE(ULONG_PTR);
  LAYOUT_SIZE(SIZE_T);
  LAYOUT_SIZE(WCHAR);
  LAYOUT_SIZE(BOOLEAN);
  LAYOUT_SIZE(NTSTATUS);
  LAYOUT_SIZE(KIRQL);
  LAYOUT_SIZE(KSPIN_LOCK);
  LAYOUT_SIZE(DEVICE_TYPE);
  LAYOUT_SIZE(POOL_TYPE);
  LAYOUT_SIZE(WORK_QUEUE_TYPE);
  LAYOUT_SIZE(EVENT_TYPE);
  LAYOUT_SIZE(KWAIT_REASON);
  LAYOUT_SIZE(GUID);
  LAYOUT_SIZE(KDPC);
  LAYOUT_SIZE(KAPC);
  LAYOUT_SIZE(KDEVICE_QUEUE);
  LAYOUT_SIZE(KDEVICE_QUEUE_ENTRY);
  LAYOUT_SIZE(WAIT_CONTEXT_BLOCK);

  LAYOUT_SIZE(LARGE_INTEGER);
  LAYOUT_FIELD(LARGE_INTEGER, LowPart);
  LAYOUT_FIELD(LARGE_INTEGER, HighPart);
  LAYOUT_FIELD(LARGE_INTEGER, QuadPart);

  LAYOUT_SIZE(LIST_ENTRY);
  LAYOUT_FIELD(LIST_ENTRY, Flink);
  LAYOUT_FIELD(LIST_ENTRY, Blink);

  LAYOUT_SIZE(UNICODE_STRING);
  LAYOUT_FIELD(UNICODE_STRING, Length);
  LAYOUT_FIELD(UNICODE_STRING, MaximumLength);
  LAYOUT_FIELD(UNICODE_STRING, Buffer);

  // Dispatcher objects.
  LAYOUT_SIZE(DISPATCHER_HEADER);
  LAYOUT_FIELD(DISPATCHER_HEADER, Type);
  LAYOUT_FIELD(DISPATCHER_HEADER, Size);
  LAYOUT_FIELD(DISPATCHER_HEADER, SignalState);
  LAYOUT_FIELD(DISPATCHER_HEADER, WaitListHead);
  LAYOUT_SIZE(KEVENT);
  LAYOUT_FIELD(KEVENT, Header);

  LAYOUT_SIZE(IO_STATUS_BLOCK);
  LAYOUT_FIELD(IO_STATUS_BLOCK, Status);
  LAYOUT_FIELD(IO_STATUS_BLOCK, Pointer);
  LAYOUT_FIELD(IO_STATUS_BLOCK, Information);

  LAYOUT_SIZE(POWER_STATE);
  LAYOUT_SIZE(SYSTEM_POWER_STATE);
  LAYOUT_SIZE(DEVICE_POWER_STATE);
  LAYOUT_SIZE(POWER_STATE_TYPE);
  LAYOUT_SIZE(POWER_ACTION);

  // Driver and device objects.
  LAYOUT_SIZE(DRIVER_EXTENSION);
  LAYOUT_FIELD(DRIVER_EXTENSION, DriverObject);
  LAYOUT_FIELD(DRIVER_EXTENSION, AddDevice);
  LAYOUT_FIELD(DRIVER_EXTENSION, Count);
  LAYOUT_FIELD(DRIVER_EXTENSION, ServiceKeyName);

  LAYOUT_SIZE(DRIVER_OBJECT);
  LAYOUT_FIELD(DRIVER_OBJECT, Type);
  LAYOUT_FIELD(DRIVER_OBJECT, Size);
  LAYOUT_FIELD(DRIVER_OBJECT, DeviceObject);
  LAYOUT_FIELD(DRIVER_OBJECT, Flags);
  LAYOUT_FIELD(DRIVER_OBJECT, DriverStart);
  LAYOUT_FIELD(DRIVER_OBJECT, DriverSize);
  LAYOUT_FIELD(DRIVER_OBJECT, DriverSection);
  LAYOUT_FIELD(DRIVER_OBJECT, DriverExtension);
  LAYOUT_FIELD(DRIVER_OBJECT, DriverName);
  LAYOUT_FIELD(DRIVER_OBJECT, HardwareDatabase);
  LAYOUT_FIELD(DRIVER_OBJECT, FastIoDispatch);
  LAYOUT_FIELD(DRIVER_OBJECT, DriverInit);
  LAYOUT_FIELD(DRIVER_OBJECT, DriverStartIo);
  LAYOUT_FIELD(DRIVER_OBJECT, DriverUnload);
  LAYOUT_FIELD(DRIVER_OBJECT, MajorFunction);

  LAYOUT_SIZE(DEVICE_OBJECT);
  LAYOUT_FIELD(DEVICE_OBJECT, Type);
  LAYOUT_FIELD(DEVICE_OBJECT, Size);
  LAYOUT_FIELD(DEVICE_OBJECT, ReferenceCount);
  LAYOUT_FIELD(DEVICE_OBJECT, DriverObject);
  LAYOUT_FIELD(DEVICE_OBJECT, NextDevice);
  LAYOUT_FIELD(DEVICE_OBJECT, AttachedDevice);
  LAYOUT_FIELD(DEVICE_OBJECT, CurrentIrp);
  LAYOUT_FIELD(DEVICE_OBJECT, Timer);
  LAYOUT_FIELD(DEVICE_OBJECT, Flags);
  LAYOUT_FIELD(DEVICE_OBJECT, Characteristics);
  LAYOUT_FIELD(DEVICE_OBJECT, Vpb);
  LAYOUT_FIELD(DEVICE_OBJECT, DeviceExtension);
  LAYOUT_FIELD(DEVICE_OBJECT, DeviceType);
  LAYOUT_FIELD(DEVICE_OBJECT, StackSize);
  LAYOUT_FIELD(DEVICE_OBJECT, Queue);
  LAYOUT_FIELD(DEVICE_OBJECT, AlignmentRequirement);
  LAYOUT_FIELD(DEVICE_OBJECT, DeviceQueue);
  LAYOUT_FIELD(DEVICE_OBJECT, Dpc);
  LAYOUT_FIELD(DEVICE_OBJECT, ActiveThreadCount);
  LAYOUT_FIELD(DEVICE_OBJECT, SecurityDescriptor);
  LAYOUT_FIELD(DEVICE_OBJECT, DeviceLock);
  LAYOUT_FIELD(DEVICE_OBJECT, SectorSize);
  LAYOUT_FIELD(DEVICE_OBJECT, Spare1);
  LAYOUT_FIELD(DEVICE_OBJECT, DeviceObjectExtension);
  LAYOUT_FIELD(DEVICE_OBJECT, Reserved);

  LAYOUT_SIZE(FILE_OBJECT);
  LAYOUT_FIELD(FILE_OBJECT, Type);
  LAYOUT_FIELD(FILE_OBJECT, Size);
  LAYOUT_FIELD(FILE_OBJECT, DeviceObject);
  LAYOUT_FIELD(FILE_OBJECT, FsContext);
  LAYOUT_FIELD(FILE_OBJECT, FsContext2);
  LAYOUT_FIELD(FILE_OBJECT, FinalStatus);
  LAYOUT_FIELD(FILE_OBJECT, Flags);
  LAYOUT_FIELD(FILE_OBJECT, FileName);
  LAYOUT_FIELD(FILE_OBJECT, CurrentByteOffset);
  LAYOUT_FIELD(FILE_OBJECT, Lock);
  LAYOUT_FIELD(FILE_OBJECT, Event);
  LAYOUT_FIELD(FILE_OBJECT, CompletionContext);
  LAYOUT_FIELD(FILE_OBJECT, IrpListLock);
  LAYOUT_FIELD(FILE_OBJECT, IrpList);
  LAYOUT_FIELD(FILE_OBJECT, FileObjectExtension);

  // Stack locations: every parameter block, with the DDK's pointer
  // alignment of the members that follow a ULONG.
  LAYOUT_SIZE(IO_STACK_LOCATION);
  LAYOUT_FIELD(IO_STACK_LOCATION, MajorFunction);
  LAYOUT_FIELD(IO_STACK_LOCATION, MinorFunction);
  LAYOUT_FIELD(IO_STACK_LOCATION, Flags);
  LAYOUT_FIELD(IO_STACK_LOCATION, Control);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Create.SecurityContext);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Create.Options);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Create.FileAttributes);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Create.ShareAccess);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Create.EaLength);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Read.Length);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Read.Key);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Read.ByteOffset);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Write.Length);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Write.Key);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Write.ByteOffset);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.QueryDeviceRelations.Type);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.QueryInterface.InterfaceType);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.QueryInterface.Size);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.QueryInterface.Version);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.QueryInterface.Interface);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.QueryInterface.InterfaceSpecificData);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.DeviceCapabilities.Capabilities);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.QueryId.IdType);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.QueryDeviceText.DeviceTextType);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.QueryDeviceText.LocaleId);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.UsageNotification.InPath);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.UsageNotification.Type);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.WaitWake.PowerState);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.PowerSequence.PowerSequence);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Power.SystemContext);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Power.Type);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Power.State);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Power.ShutdownType);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResources);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResourcesTranslated);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Others.Argument1);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Others.Argument2);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Others.Argument3);
  LAYOUT_FIELD(IO_STACK_LOCATION, Parameters.Others.Argument4);
  LAYOUT_FIELD(IO_STACK_LOCATION, DeviceObject);
  LAYOUT_FIELD(IO_STACK_LOCATION, FileObject);
  LAYOUT_FIELD(IO_STACK_LOCATION, CompletionRoutine);
  LAYOUT_FIELD(IO_STACK_LOCATION, Context);

  LAYOUT_SIZE(IRP);
  LAYOUT_FIELD(IRP, Type);
  LAYOUT_FIELD(IRP, Size);
  LAYOUT_FIELD(IRP, MdlAddress);
  LAYOUT_FIELD(IRP, Flags);
  LAYOUT_FIELD(IRP, AssociatedIrp);
  LAYOUT_FIELD(IRP, AssociatedIrp.MasterIrp);
  LAYOUT_FIELD(IRP, AssociatedIrp.IrpCount);
  LAYOUT_FIELD(IRP, AssociatedIrp.SystemBuffer);
  LAYOUT_FIELD(IRP, ThreadListEntry);
  LAYOUT_FIELD(IRP, IoStatus);
  LAYOUT_FIELD(IRP, RequestorMode);
  LAYOUT_FIELD(IRP, PendingReturned);
  LAYOUT_FIELD(IRP, StackCount);
  LAYOUT_FIELD(IRP, CurrentLocation);
  LAYOUT_FIELD(IRP, Cancel);
  LAYOUT_FIELD(IRP, CancelIrql);
  LAYOUT_FIELD(IRP, ApcEnvironment);
  LAYOUT_FIELD(IRP, AllocationFlags);
  LAYOUT_FIELD(IRP, UserIosb);
  LAYOUT_FIELD(IRP, UserEvent);
  LAYOUT_FIELD(IRP, Overlay);
  LAYOUT_FIELD(IRP, Overlay.AsynchronousParameters.UserApcRoutine);
  LAYOUT_FIELD(IRP, Overlay.AsynchronousParameters.UserApcContext);
  LAYOUT_FIELD(IRP, Overlay.AllocationSize);
  LAYOUT_FIELD(IRP, CancelRoutine);
  LAYOUT_FIELD(IRP, UserBuffer);
  LAYOUT_FIELD(IRP, Tail);
  LAYOUT_FIELD(IRP, Tail.Overlay.DriverContext);
  LAYOUT_FIELD(IRP, Tail.Overlay.Thread);
  LAYOUT_FIELD(IRP, Tail.Overlay.AuxiliaryBuffer);
  LAYOUT_FIELD(IRP, Tail.Overlay.ListEntry);
  LAYOUT_FIELD(IRP, Tail.Overlay.CurrentStackLocation);
  LAYOUT_FIELD(IRP, Tail.Overlay.PacketType);
  LAYOUT_FIELD(IRP, Tail.Overlay.OriginalFileObject);
  LAYOUT_FIELD(IRP, Tail.Overlay.DeviceQueueEntry);
  LAYOUT_FIELD(IRP, Tail.Apc);
  LAYOUT_FIELD(IRP, Tail.CompletionKey);

  LAYOUT_SIZE(IO_REMOVE_LOCK_COMMON_BLOCK);
  LAYOUT_FIELD(IO_REMOVE_LOCK_COMMON_BLOCK, Removed);
  LAYOUT_FIELD(IO_REMOVE_LOCK_COMMON_BLOCK, IoCount);
  LAYOUT_FIELD(IO_REMOVE_LOCK_COMMON_BLOCK, RemoveEvent);

  LAYOUT_SIZE(IO_ERROR_LOG_PACKET);
  LAYOUT_FIELD(IO_ERROR_LOG_PACKET, MajorFunctionCode);
  LAYOUT_FIELD(IO_ERROR_LOG_PACKET, RetryCount);
  LAYOUT_FIELD(IO_ERROR_LOG_PACKET, DumpDataSize);
  LAYOUT_FIELD(IO_ERROR_LOG_PACKET, NumberOfStrings);
  LAYOUT_FIELD(IO_ERROR_LOG_PACKET, StringOffset);
  LAYOUT_FIELD(IO_ERROR_LOG_PACKET, EventCategory);
  LAYOUT_FIELD(IO_ERROR_LOG_PACKET, ErrorCode);
  LAYOUT_FIELD(IO_ERROR_LOG_PACKET, UniqueErrorValue);
  LAYOUT_FIELD(IO_ERROR_LOG_PACKET, FinalStatus);
  LAYOUT_FIELD(IO_ERROR_LOG_PACKET, SequenceNumber);
  LAYOUT_FIELD(IO_ERROR_LOG_PACKET, IoControlCode);
  LAYOUT_FIELD(IO_ERROR_LOG_PACKET, DeviceOffset);
  LAYOUT_FIELD(IO_ERROR_LOG_PACKET, DumpData);

  // Serial requests the driver sends.
  LAYOUT_SIZE(SERIAL_BAUD_RATE);
  LAYOUT_FIELD(SERIAL_BAUD_RATE, BaudRate);
  LAYOUT_SIZE(SERIAL_LINE_CONTROL);
  LAYOUT_FIELD(SERIAL_LINE_CONTROL, StopBits);
  LAYOUT_FIELD(SERIAL_LINE_CONTROL, Parity);
  LAYOUT_FIELD(SERIAL_LINE_CONTROL, WordLength);
  LAYOUT_SIZE(SERIAL_TIMEOUTS);
  LAYOUT_FIELD(SERIAL_TIMEOUTS, ReadIntervalTimeout);
  LAYOUT_FIELD(SERIAL_TIMEOUTS, ReadTotalTimeoutMultiplier);
  LAYOUT_FIELD(SERIAL_TIMEOUTS, ReadTotalTimeoutConstant);
  LAYOUT_FIELD(SERIAL_TIMEOUTS, WriteTotalTimeoutMultiplier);
  LAYOUT_FIELD(SERIAL_TIMEOUTS, WriteTotalTimeoutConstant);
  LAYOUT_SIZE(SERIAL_HANDFLOW);
  LAYOUT_FIELD(SERIAL_HANDFLOW, ControlHandShake);
  LAYOUT_FIELD(SERIAL_HANDFLOW, FlowReplace);
  LAYOUT_FIELD(SERIAL_HANDFLOW, XonLimit);
  LAYOUT_FIELD(SERIAL_HANDFLOW, XoffLimit);
  LAYOUT_SIZE(SERIAL_CHARS);
  LAYOUT_SIZE(SERIAL_STATUS);
  LAYOUT_FIELD(SERIAL_STATUS, Errors);
  LAYOUT_FIELD(SERIAL_STATUS, HoldReasons);
  LAYOUT_FIELD(SERIAL_STATUS, AmountInInQueue);
  LAYOUT_FIELD(SERIAL_STATUS, AmountInOutQueue);
  LAYOUT_FIELD(SERIAL_STATUS, EofReceived);
  LAYOUT_FIELD(SERIAL_STATUS, WaitForImmediate);
  LAYOUT_SIZE(SERIAL_QUEUE_SIZE);

  // Smart card requests.
  LAYOUT_SIZE(SCARD_IO_REQUEST);
  LAYOUT_FIELD(SCARD_IO_REQUEST, dwProtocol);
  LAYOUT_FIELD(SCARD_IO_REQUEST, cbPciLength);

  // The smart card library's record, which the driver's device extension
  // starts with, and its parts.
  LAYOUT_SIZE(SMARTCARD_EXTENSION);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, Version);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, VendorAttr);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, VendorAttr.VendorName);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, VendorAttr.IfdType);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, VendorAttr.UnitNo);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, VendorAttr.IfdVersion);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, VendorAttr.IfdSerialNo);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, ReaderFunction);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, CardCapabilities);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, CardCapabilities.ATR);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, CardCapabilities.ClockRateConversion);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, CardCapabilities.BitRateAdjustment);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, CardCapabilities.Protocol);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, CardCapabilities.T0);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, CardCapabilities.T1);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, CardCapabilities.PtsData);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, LastError);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, IoRequest);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, IoRequest.Information);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, IoRequest.RequestBuffer);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, IoRequest.RequestBufferLength);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, IoRequest.ReplyBuffer);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, IoRequest.ReplyBufferLength);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, MajorIoControlCode);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, MinorIoControlCode);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, OsData);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, ReaderCapabilities);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, ReaderCapabilities.SupportedProtocols);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, ReaderCapabilities.CurrentState);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, ReaderCapabilities.DataRatesSupported);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, ReaderCapabilities.CLKFrequenciesSupported);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, ReaderExtension);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, SmartcardReply);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, SmartcardRequest);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, T0);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, T1);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, T1.State);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, T1.Wtx);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, T1.NAD);
  LAYOUT_FIELD(SMARTCARD_EXTENSION, PerfInfo);
  LAYOUT_SIZE(OS_DEP_DATA);
  LAYOUT_FIELD(OS_DEP_DATA, DeviceObject);
  LAYOUT_FIELD(OS_DEP_DATA, CurrentIrp);
  LAYOUT_FIELD(OS_DEP_DATA, NotificationIrp);
  LAYOUT_FIELD(OS_DEP_DATA, SpinLock);
  LAYOUT_SIZE(SCARD_CARD_CAPABILITIES);
  LAYOUT_SIZE(SCARD_READER_CAPABILITIES);
  LAYOUT_SIZE(VENDOR_ATTR);
  LAYOUT_SIZE(T1_DATA);
  LAYOUT_SIZE(PTS_DATA);

  // The driver's own records, which embed all of the above.
  LAYOUT_SIZE(DEVICE_EXTENSION);
  LAYOUT_FIELD(DEVICE_EXTENSION, SmartcardExtension);
  LAYOUT_FIELD(DEVICE_EXTENSION, ReaderClosed);
  LAYOUT_FIELD(DEVICE_EXTENSION, SpinLock);
  LAYOUT_FIELD(DEVICE_EXTENSION, PnPDeviceName);
  LAYOUT_FIELD(DEVICE_EXTENSION, DeviceInstance);
  LAYOUT_FIELD(DEVICE_EXTENSION, IoCount);
  LAYOUT_FIELD(DEVICE_EXTENSION, ReaderStarted);
  LAYOUT_FIELD(DEVICE_EXTENSION, SerialCloseDone);
  LAYOUT_SIZE(READER_EXTENSION);
  LAYOUT_FIELD(READER_EXTENSION, AttachedDeviceObject);
  LAYOUT_FIELD(READER_EXTENSION, SmartcardExtension);
  LAYOUT_FIELD(READER_EXTENSION, ReceiveBuffer);
  LAYOUT_FIELD(READER_EXTENSION, DataAvailable);
  LAYOUT_FIELD(READER_EXTENSION, ReceiveLock);
  LAYOUT_FIELD(READER_EXTENSION, PowerState);
  LAYOUT_FIELD(READER_EXTENSION, AtrInterfaceBytes);
}
