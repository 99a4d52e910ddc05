// The kernel's synchronisation layer as drivers see it: interrupt request
// levels, dispatcher objects (events), spin locks, waits and delays.
//
// The scheduler (platform/kernel/src/sched) implements every function declared
// here. Object layouts follow WDM so that driver records embedding a KEVENT or
// a KSPIN_LOCK have the shape drivers expect; the scheduler keeps its own
// bookkeeping (waiters, owners) outside these records, keyed by address.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"

typedef UCHAR KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
#define CLOCK_LEVEL 13
#define IPI_LEVEL 14
#define DRS_LEVEL 14
#define POWER_LEVEL 14
#define PROFILE_LEVEL 15
#define HIGH_LEVEL 15

typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef enum _KWAIT_REASON {
  Executive,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
  WrExecutive,
  WrFreePage,
  WrPageIn,
  WrPoolAllocation,
  WrDelayExecution,
  WrSuspended,
  WrUserRequest,
  WrEventPair,
  WrQueue,
  WrLpcReceive,
  WrLpcReply,
  WrVirtualMemory,
  WrPageOut,
  WrRendezvous,
  MaximumWaitReason
} KWAIT_REASON;

// Dispatcher object types stored in DISPATCHER_HEADER.Type.
#define KOBJECT_TYPE_NOTIFICATION_EVENT 0
#define KOBJECT_TYPE_SYNCHRONIZATION_EVENT 1

// Common head of every waitable object. KeInitializeEvent sets Type, Size
// (the object's size in LONGs, never 0 once initialised) and SignalState; a
// zero-filled, never-initialised event therefore has Size 0, which lets the
// verifier tell it apart from an initialised one.
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Signalling;
  UCHAR Size;
  UCHAR Reserved1;
  volatile LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;

// A wait on more objects than a thread's built-in wait blocks needs a wait
// block array from the caller; the scheduler keeps its own bookkeeping, so
// the array is only required, never read.
#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

typedef struct _KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;
  PVOID Thread;
  PVOID Object;
  struct _KWAIT_BLOCK* NextWaitBlock;
  USHORT WaitKey;
  UCHAR WaitType;
  UCHAR SpareByte;
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

#ifdef __cplusplus
extern "C" {
#endif

// Interrupt request level of the running thread.
NTHALAPI KIRQL NTAPI KeGetCurrentIrql(VOID);
NTHALAPI KIRQL FASTCALL KfRaiseIrql(IN KIRQL NewIrql);
NTHALAPI VOID FASTCALL KfLowerIrql(IN KIRQL NewIrql);

// Events.
NTKERNELAPI VOID NTAPI KeInitializeEvent(OUT PRKEVENT Event, IN EVENT_TYPE Type, IN BOOLEAN State);
NTKERNELAPI LONG NTAPI KeSetEvent(IN OUT PRKEVENT Event, IN KPRIORITY Increment, IN BOOLEAN Wait);
NTKERNELAPI VOID NTAPI KeClearEvent(IN OUT PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeResetEvent(IN OUT PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeReadStateEvent(IN PRKEVENT Event);

// Waits. Timeout: negative is relative in 100 ns units, 0 tests without
// blocking (STATUS_TIMEOUT when not signalled), NULL waits without limit.
NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(IN PVOID Object, IN KWAIT_REASON WaitReason,
                                                 IN KPROCESSOR_MODE WaitMode, IN BOOLEAN Alertable,
                                                 IN PLARGE_INTEGER Timeout OPTIONAL);
// WaitAny returns STATUS_WAIT_0 + the index of the signalled object,
// WaitAll STATUS_SUCCESS once every object is signalled.
NTKERNELAPI NTSTATUS NTAPI KeWaitForMultipleObjects(IN ULONG Count, IN PVOID Object[], IN WAIT_TYPE WaitType,
                                                    IN KWAIT_REASON WaitReason, IN KPROCESSOR_MODE WaitMode,
                                                    IN BOOLEAN Alertable, IN PLARGE_INTEGER Timeout OPTIONAL,
                                                    OUT PKWAIT_BLOCK WaitBlockArray OPTIONAL);
NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(IN KPROCESSOR_MODE WaitMode, IN BOOLEAN Alertable,
                                                  IN PLARGE_INTEGER Interval);
NTHALAPI VOID NTAPI KeStallExecutionProcessor(IN ULONG MicroSeconds);

// Spin locks. Acquiring raises to DISPATCH_LEVEL; releasing restores the
// level the acquire returned.
// A function here (inline on x64 Windows) so that the lock word carries a
// marker and a lock used before initialisation, such as one left zero in a
// device extension, is reported.
NTKERNELAPI VOID NTAPI KeInitializeSpinLock(OUT PKSPIN_LOCK SpinLock);
NTKERNELAPI KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(IN OUT PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID NTAPI KeReleaseSpinLock(IN OUT PKSPIN_LOCK SpinLock, IN KIRQL NewIrql);
NTKERNELAPI VOID NTAPI KeAcquireSpinLockAtDpcLevel(IN OUT PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID NTAPI KeReleaseSpinLockFromDpcLevel(IN OUT PKSPIN_LOCK SpinLock);

// System time in 100 ns units since 1601 (virtual or real, as the clock runs).
NTKERNELAPI VOID NTAPI KeQuerySystemTime(OUT PLARGE_INTEGER CurrentTime);
// Time since boot in 100 ns units.
NTKERNELAPI ULONGLONG NTAPI KeQueryInterruptTime(VOID);

#ifdef __cplusplus
}
#endif

#define KeRaiseIrql(NewIrql, OldIrql) (*(OldIrql) = KfRaiseIrql(NewIrql))
#define KeLowerIrql(NewIrql) KfLowerIrql(NewIrql)
#define KeRaiseIrqlToDpcLevel() KfRaiseIrql(DISPATCH_LEVEL)
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))

// Interlocked operations: full barriers, as the processor's locked
// instructions are.
FORCEINLINE LONG InterlockedIncrement(IN OUT LONG volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedDecrement(IN OUT LONG volatile* Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchange(IN OUT LONG volatile* Target, IN LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchangeAdd(IN OUT LONG volatile* Addend, IN LONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedCompareExchange(IN OUT LONG volatile* Destination, IN LONG Exchange, IN LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}
FORCEINLINE PVOID InterlockedExchangePointer(IN OUT PVOID volatile* Target, IN PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(IN OUT PVOID volatile* Destination, IN PVOID Exchange,
                                                    IN PVOID Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}
