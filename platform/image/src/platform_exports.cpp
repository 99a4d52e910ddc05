// What an image may import: the kernel's exports (ntoskrnl.exe, HAL.dll) as
// platform/kernel implements them and the smart card library's (smclib.sys)
// as platform/smclib does. Each module lists exactly the functions that
// mingw-w64's import library of that module names (libntoskrnl.a,
// libhal.a) or smclib.def, and that the platform implements; functions
// that the x64 DDK compiles inline (KeInitializeSpinLock, KfLowerIrql,
// KeQuerySystemTime...) are no exports there and appear here neither.
#include <platform/driver_code.h>
#include <platform/image.h>

#include <smclib.h>

#include <cstring>

namespace platform::image {
namespace {

// ntoskrnl exports the C library's memory functions to drivers; an image
// calls them in the Microsoft convention.
PVOID NTAPI kernelMemcpy(PVOID destination, const VOID* source, SIZE_T length) {
  return std::memcpy(destination, source, length);
}
PVOID NTAPI kernelMemmove(PVOID destination, const VOID* source, SIZE_T length) {
  return std::memmove(destination, source, length);
}
PVOID NTAPI kernelMemset(PVOID destination, int value, SIZE_T length) {
  return std::memset(destination, value, length);
}

// The x64 DDK's KeInitializeSpinLock is inline and writes 0; the
// platform's marks the lock so that one never initialised is reported. A
// zero lock met by an image's acquire is therefore one the image
// initialised: give it the platform's mark first. (Pool is not zeroed, so
// a lock in pool the image never initialised is still reported.)
void markZeroLock(PKSPIN_LOCK lock) {
  if (lock != nullptr && *lock == 0) KeInitializeSpinLock(lock);
}
KIRQL NTAPI imageAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
  markZeroLock(lock);
  return KeAcquireSpinLockRaiseToDpc(lock);
}
VOID NTAPI imageAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
  markZeroLock(lock);
  KeAcquireSpinLockAtDpcLevel(lock);
}

// Every function that may call into the scheduler is bound through
// guardedImport, so that what it throws (a thread aborted at shutdown, a
// deadlock report) leaves the image's frames without unwinding them.
ExportTable makePlatformExports() {
  ExportTable table;
  auto kernel = [&](const char* name, const void* address) { table.add("ntoskrnl.exe", name, address); };
#define TAV712_KERNEL_EXPORT(function) kernel(#function, reinterpret_cast<const void*>(guardedImport<&function>))
  TAV712_KERNEL_EXPORT(ExAllocatePool);
  TAV712_KERNEL_EXPORT(ExAllocatePoolWithTag);
  TAV712_KERNEL_EXPORT(ExFreePool);
  TAV712_KERNEL_EXPORT(ExFreePoolWithTag);
  TAV712_KERNEL_EXPORT(IoAcquireCancelSpinLock);
  TAV712_KERNEL_EXPORT(IoAcquireRemoveLockEx);
  TAV712_KERNEL_EXPORT(IoAllocateErrorLogEntry);
  TAV712_KERNEL_EXPORT(IoAllocateIrp);
  TAV712_KERNEL_EXPORT(IoAllocateWorkItem);
  TAV712_KERNEL_EXPORT(IoAttachDeviceToDeviceStack);
  TAV712_KERNEL_EXPORT(IoBuildDeviceIoControlRequest);
  TAV712_KERNEL_EXPORT(IoCancelIrp);
  TAV712_KERNEL_EXPORT(IoCreateDevice);
  TAV712_KERNEL_EXPORT(IoDeleteDevice);
  TAV712_KERNEL_EXPORT(IoDetachDevice);
  TAV712_KERNEL_EXPORT(IoFreeErrorLogEntry);
  TAV712_KERNEL_EXPORT(IoFreeIrp);
  TAV712_KERNEL_EXPORT(IoFreeWorkItem);
  TAV712_KERNEL_EXPORT(IoGetAttachedDevice);
  TAV712_KERNEL_EXPORT(IoGetAttachedDeviceReference);
  TAV712_KERNEL_EXPORT(IoInitializeRemoveLockEx);
  TAV712_KERNEL_EXPORT(IoQueueWorkItem);
  TAV712_KERNEL_EXPORT(IoRegisterDeviceInterface);
  TAV712_KERNEL_EXPORT(IoReleaseCancelSpinLock);
  TAV712_KERNEL_EXPORT(IoReleaseRemoveLockAndWaitEx);
  TAV712_KERNEL_EXPORT(IoReleaseRemoveLockEx);
  TAV712_KERNEL_EXPORT(IoReuseIrp);
  TAV712_KERNEL_EXPORT(IoSetDeviceInterfaceState);
  TAV712_KERNEL_EXPORT(IoWriteErrorLogEntry);
  TAV712_KERNEL_EXPORT(IofCallDriver);
  TAV712_KERNEL_EXPORT(IofCompleteRequest);
  TAV712_KERNEL_EXPORT(KeClearEvent);
  TAV712_KERNEL_EXPORT(KeDelayExecutionThread);
  TAV712_KERNEL_EXPORT(KeGetCurrentIrql);
  TAV712_KERNEL_EXPORT(KeInitializeEvent);
  TAV712_KERNEL_EXPORT(KeReadStateEvent);
  TAV712_KERNEL_EXPORT(KeReleaseSpinLock);
  TAV712_KERNEL_EXPORT(KeReleaseSpinLockFromDpcLevel);
  TAV712_KERNEL_EXPORT(KeResetEvent);
  TAV712_KERNEL_EXPORT(KeSetEvent);
  TAV712_KERNEL_EXPORT(KeWaitForMultipleObjects);
  TAV712_KERNEL_EXPORT(KeWaitForSingleObject);
  TAV712_KERNEL_EXPORT(KfRaiseIrql);
  TAV712_KERNEL_EXPORT(ObfDereferenceObject);
  TAV712_KERNEL_EXPORT(ObfReferenceObject);
  TAV712_KERNEL_EXPORT(PoCallDriver);
  TAV712_KERNEL_EXPORT(PoRequestPowerIrp);
  TAV712_KERNEL_EXPORT(PoSetPowerState);
  TAV712_KERNEL_EXPORT(PoStartNextPowerIrp);
  TAV712_KERNEL_EXPORT(RtlAssert);
  TAV712_KERNEL_EXPORT(RtlCompareMemory);
  TAV712_KERNEL_EXPORT(RtlCopyUnicodeString);
  TAV712_KERNEL_EXPORT(RtlEqualUnicodeString);
  TAV712_KERNEL_EXPORT(RtlFreeUnicodeString);
  TAV712_KERNEL_EXPORT(RtlInitUnicodeString);
#undef TAV712_KERNEL_EXPORT
  // Variadic, and it only formats and traces: bound as it is.
  kernel("DbgPrint", reinterpret_cast<const void*>(&DbgPrint));
  kernel("KeAcquireSpinLockRaiseToDpc", reinterpret_cast<const void*>(guardedImport<&imageAcquireSpinLockRaiseToDpc>));
  kernel("KeAcquireSpinLockAtDpcLevel", reinterpret_cast<const void*>(guardedImport<&imageAcquireSpinLockAtDpcLevel>));
  kernel("memcpy", reinterpret_cast<const void*>(&kernelMemcpy));
  kernel("memmove", reinterpret_cast<const void*>(&kernelMemmove));
  kernel("memset", reinterpret_cast<const void*>(&kernelMemset));

  table.add("HAL.dll", "KeStallExecutionProcessor",
            reinterpret_cast<const void*>(guardedImport<&KeStallExecutionProcessor>));

  auto library = [&](const char* name, const void* address) { table.add("smclib.sys", name, address); };
#define TAV712_SMCLIB_EXPORT(function) library(#function, reinterpret_cast<const void*>(guardedImport<&function>))
  TAV712_SMCLIB_EXPORT(SmartcardAcquireRemoveLock);
  TAV712_SMCLIB_EXPORT(SmartcardAcquireRemoveLockWithTag);
  TAV712_SMCLIB_EXPORT(SmartcardDeviceControl);
  TAV712_SMCLIB_EXPORT(SmartcardExit);
  TAV712_SMCLIB_EXPORT(SmartcardGetDebugLevel);
  TAV712_SMCLIB_EXPORT(SmartcardInitialize);
  TAV712_SMCLIB_EXPORT(SmartcardInvertData);
  TAV712_SMCLIB_EXPORT(SmartcardLogError);
  TAV712_SMCLIB_EXPORT(SmartcardRawReply);
  TAV712_SMCLIB_EXPORT(SmartcardRawRequest);
  TAV712_SMCLIB_EXPORT(SmartcardReleaseRemoveLock);
  TAV712_SMCLIB_EXPORT(SmartcardReleaseRemoveLockAndWait);
  TAV712_SMCLIB_EXPORT(SmartcardReleaseRemoveLockWithTag);
  TAV712_SMCLIB_EXPORT(SmartcardSetDebugLevel);
  TAV712_SMCLIB_EXPORT(SmartcardT0Reply);
  TAV712_SMCLIB_EXPORT(SmartcardT0Request);
  TAV712_SMCLIB_EXPORT(SmartcardT1Reply);
  TAV712_SMCLIB_EXPORT(SmartcardT1Request);
  TAV712_SMCLIB_EXPORT(SmartcardUpdateCardCapabilities);
#undef TAV712_SMCLIB_EXPORT
  return table;
}

}  // namespace

const ExportTable& ExportTable::platform() {
  static const ExportTable table = makePlatformExports();
  return table;
}

}  // namespace platform::image
