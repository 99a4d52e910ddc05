// Initialisation and exit, the remove lock, event logging and the debug level.
#include "library_state.h"

#include "atr.h"
#include "t1_engine.h"

#include <platform/faults.h>

#include <algorithm>

namespace {

ULONG debugLevel = 0;

void freeBuffers(SMARTCARD_EXTENSION& extension) {
  if (extension.SmartcardRequest.Buffer != nullptr)
    ExFreePoolWithTag(extension.SmartcardRequest.Buffer, SMARTCARD_POOL_TAG);
  if (extension.SmartcardReply.Buffer != nullptr)
    ExFreePoolWithTag(extension.SmartcardReply.Buffer, SMARTCARD_POOL_TAG);
  extension.SmartcardRequest.Buffer = nullptr;
  extension.SmartcardReply.Buffer = nullptr;
  if (extension.OsData != nullptr) {
    auto& state = smclib::libraryState(extension);
    if (state.commandCopy != nullptr) ExFreePoolWithTag(state.commandCopy, SMARTCARD_POOL_TAG);
    ExFreePoolWithTag(extension.OsData, SMARTCARD_POOL_TAG);
    extension.OsData = nullptr;
  }
}

PUCHAR allocateBuffer(ULONG size) {
  auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, SMARTCARD_POOL_TAG));
  if (buffer != nullptr) RtlZeroMemory(buffer, size);
  return buffer;
}

}  // namespace

extern "C" NTSTATUS SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension) {
  auto& extension = *SmartcardExtension;
  if (extension.OsData != nullptr) return STATUS_INVALID_DEVICE_STATE;
  if (extension.Version < SMCLIB_VERSION_REQUIRED) return STATUS_UNSUCCESSFUL;
  if (platform::FaultInjector::current().shouldFail(platform::fault::kSmartcardInitialize,
                                                    __builtin_return_address(0))) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  extension.SmartcardRequest.BufferSize = std::max<ULONG>(extension.SmartcardRequest.BufferSize, MIN_BUFFER_SIZE);
  extension.SmartcardReply.BufferSize = std::max<ULONG>(extension.SmartcardReply.BufferSize, MIN_BUFFER_SIZE);

  auto* state = static_cast<smclib::LibraryState*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(smclib::LibraryState), SMARTCARD_POOL_TAG));
  if (state == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(state, sizeof *state);
  extension.OsData = &state->os;
  extension.SmartcardRequest.Buffer = allocateBuffer(extension.SmartcardRequest.BufferSize);
  extension.SmartcardReply.Buffer = allocateBuffer(extension.SmartcardReply.BufferSize);
  state->commandCopy = allocateBuffer(smclib::kMaxCommandLength);
  state->commandCopySize = smclib::kMaxCommandLength;
  if (extension.SmartcardRequest.Buffer == nullptr || extension.SmartcardReply.Buffer == nullptr ||
      state->commandCopy == nullptr) {
    freeBuffers(extension);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  extension.SmartcardRequest.BufferLength = 0;
  extension.SmartcardReply.BufferLength = 0;
  KeInitializeSpinLock(&state->os.SpinLock);
  IoInitializeRemoveLock(&state->removeLock, SMARTCARD_POOL_TAG, 0, 0);
  KeInitializeEvent(&state->requestGate, SynchronizationEvent, TRUE);

  auto& card = extension.CardCapabilities;
  card.ClockRateConversion = smclib::clockRateConversion;
  card.BitRateAdjustment = smclib::bitRateAdjustment;
  card.PtsData.Type = PTS_TYPE_OPTIMAL;
  card.Fl = smclib::kDefaultFl;
  card.Dl = smclib::kDefaultDl;
  card.T1.IFSC = smclib::kDefaultIfsc;
  smclib::t1ResetProtocol(extension);
  return STATUS_SUCCESS;
}

extern "C" VOID SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension) { freeBuffers(*SmartcardExtension); }

extern "C" NTSTATUS SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag) {
  auto& state = smclib::libraryState(*SmartcardExtension);
  const NTSTATUS status = IoAcquireRemoveLock(&state.removeLock, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Tag)));
  if (NT_SUCCESS(status)) __atomic_add_fetch(&state.removeHolds, 1, __ATOMIC_SEQ_CST);
  return status;
}

extern "C" NTSTATUS SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
  return SmartcardAcquireRemoveLockWithTag(SmartcardExtension, 0);
}

extern "C" VOID SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag) {
  auto& state = smclib::libraryState(*SmartcardExtension);
  __atomic_sub_fetch(&state.removeHolds, 1, __ATOMIC_SEQ_CST);
  IoReleaseRemoveLock(&state.removeLock, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Tag)));
}

extern "C" VOID SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
  SmartcardReleaseRemoveLockWithTag(SmartcardExtension, 0);
}

// Releases the caller's hold and waits until no request holds the lock. A
// caller without a hold (device creation that failed, driver unload) gets
// one taken for it first, so the lock ends removed and balanced either way.
extern "C" VOID SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  auto& state = smclib::libraryState(*SmartcardExtension);
  if (__atomic_load_n(&state.removeHolds, __ATOMIC_SEQ_CST) == 0) {
    if (!NT_SUCCESS(IoAcquireRemoveLock(&state.removeLock, nullptr))) return;  // already removed
    __atomic_add_fetch(&state.removeHolds, 1, __ATOMIC_SEQ_CST);
  }
  __atomic_sub_fetch(&state.removeHolds, 1, __ATOMIC_SEQ_CST);
  IoReleaseRemoveLockAndWait(&state.removeLock, nullptr);
}

extern "C" VOID SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion, ULONG DumpData) {
  if (Object == nullptr) return;
  const ULONG headerSize = static_cast<ULONG>(sizeof(IO_ERROR_LOG_PACKET));
  ULONG stringBytes = 0;
  if (Insertion != nullptr && Insertion->Buffer != nullptr && Insertion->Length > 0) {
    stringBytes = static_cast<ULONG>(Insertion->Length + sizeof(WCHAR));
    // The entry has a fixed maximum size; a long insertion string is cut.
    if (headerSize + stringBytes > ERROR_LOG_MAXIMUM_SIZE) {
      stringBytes = (ERROR_LOG_MAXIMUM_SIZE - headerSize) & ~static_cast<ULONG>(sizeof(WCHAR) - 1);
    }
  }
  const ULONG entrySize = headerSize + stringBytes;
  auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(Object, static_cast<UCHAR>(entrySize)));
  if (packet == nullptr) return;
  RtlZeroMemory(packet, entrySize);
  packet->ErrorCode = ErrorCode;
  packet->DumpDataSize = DumpData != 0 ? static_cast<USHORT>(sizeof(ULONG)) : 0;
  packet->DumpData[0] = DumpData;
  if (stringBytes >= sizeof(WCHAR)) {
    packet->NumberOfStrings = 1;
    packet->StringOffset = static_cast<USHORT>(headerSize);
    auto* text = reinterpret_cast<UCHAR*>(packet) + headerSize;
    RtlCopyMemory(text, Insertion->Buffer, stringBytes - sizeof(WCHAR));
  }
  IoWriteErrorLogEntry(packet);
}

extern "C" ULONG SmartcardGetDebugLevel(void) { return debugLevel; }
extern "C" VOID SmartcardSetDebugLevel(ULONG Level) { debugLevel = Level; }
