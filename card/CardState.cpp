// Card state and card tracking.
//
// ReaderCapabilities.CurrentState follows the reader: register 4 bit 0 at
// start and power-up, the insertion (0x10 0x85) and removal (0x10 0x86) codes
// of the reader's stream, and the driver's own power-downs. A change between
// the no-card class (SCARD_UNKNOWN, SCARD_ABSENT) and the card class
// (SCARD_PRESENT to SCARD_SPECIFIC) completes the card-tracking request that
// the library parked in OsData->NotificationIrp.
//
// Locks: OsData->SpinLock guards CurrentState and NotificationIrp; the system
// cancel spin lock, taken inside it, guards the parked request's cancel
// routine. Whoever takes the request out of NotificationIrp under the cancel
// spin lock completes it, so it is completed exactly once, and completes it
// only after releasing every lock.

#include "card/CardState.h"

#include "include/tav712.h"
#include "link/ReaderCommands.h"

BOOLEAN CardStateChanged(ULONG OldState, ULONG NewState) {
  if (OldState == SCARD_UNKNOWN) {
    return TRUE;
  }
  BOOLEAN oldHasCard = OldState > SCARD_ABSENT;
  BOOLEAN newHasCard = NewState > SCARD_ABSENT;
  return oldHasCard != newHasCard;
}

// Once the cancel routine is cleared under the cancel spin lock, the I/O
// manager no longer calls it, and a cancel routine already running has
// cleared NotificationIrp before it released that lock.
PIRP TakeParkedTrackingRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  PIRP irp = SmartcardExtension->OsData->NotificationIrp;
  if (irp != NULL) {
    SmartcardExtension->OsData->NotificationIrp = NULL;
    IoSetCancelRoutine(irp, NULL);
  }
  IoReleaseCancelSpinLock(cancelIrql);
  return irp;
}

// Completed once no lock is held: completion runs the completion routines of
// the drivers above, which must not find our locks taken.
static VOID CompleteTrackingRequest(PIRP Irp) {
  if (Irp != NULL) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
  }
}

NTSTATUS ReadCardState(PSMARTCARD_EXTENSION SmartcardExtension, PULONG State) {
  ASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
  UCHAR contacts = 0;
  NTSTATUS status = ReaderReadRegister(SmartcardExtension->ReaderExtension, READER_REGISTER_CONTACTS, &contacts);
  if (status == STATUS_SUCCESS) {
    *State = (contacts & READER_CONTACTS_CARD_PRESENT) ? SCARD_SWALLOWED : SCARD_ABSENT;
  }
  return status;
}

static ULONG CardEventsSoFar(PSMARTCARD_EXTENSION SmartcardExtension) {
  KIRQL irql;
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
  ULONG events = SmartcardExtension->ReaderExtension->CardEvents;
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
  return events;
}

// Where a state to record comes from.
typedef enum _CARD_STATE_SOURCE {
  CardEventReported,         // an insertion or removal code: counted, always recorded
  CardRegisterRead,          // register 4: a card known as present or more stays so
  CardRegisterReadAsNewCard  // register 4: a card in the reader counts as newly inserted
} CARD_STATE_SOURCE;

// Records a state under the lock and completes a parked tracking request when
// the class changed. A register reading (EventsBefore: the count when its
// read was sent) gives way to any card event counted since.
static VOID RecordCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State, CARD_STATE_SOURCE Source,
                            ULONG EventsBefore) {
  KIRQL irql;
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);

  PIRP irp = NULL;
  PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
  if (Source == CardEventReported || EventsBefore == readerExtension->CardEvents) {
    ULONG oldState =
        Source == CardRegisterReadAsNewCard ? SCARD_ABSENT : SmartcardExtension->ReaderCapabilities.CurrentState;
    BOOLEAN changed = CardStateChanged(oldState, State);
    if (State != SCARD_UNKNOWN && (Source != CardRegisterRead || changed)) {
      SmartcardExtension->ReaderCapabilities.CurrentState = State;
    }
    if (Source == CardEventReported) {
      readerExtension->CardEvents++;
    }
    if (changed) {
      irp = TakeParkedTrackingRequest(SmartcardExtension);
    }
  }

  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
  CompleteTrackingRequest(irp);
}

VOID UpdateCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State) {
  ASSERT(SmartcardExtension != NULL && SmartcardExtension->OsData != NULL);
  if (State != SCARD_UNKNOWN) {
    RecordCardState(SmartcardExtension, State, CardEventReported, 0);
    return;
  }
  // Ask the reader before any lock is taken: the read waits. A reader
  // that does not answer leaves the state compared as "no card", and
  // CurrentState itself as it is.
  ULONG events = CardEventsSoFar(SmartcardExtension);
  ULONG reading = SCARD_UNKNOWN;
  (VOID) ReadCardState(SmartcardExtension, &reading);
  RecordCardState(SmartcardExtension, reading, CardRegisterRead, events);
}

VOID ReadCardStateAsNewlyInserted(PSMARTCARD_EXTENSION SmartcardExtension) {
  ASSERT(SmartcardExtension != NULL && SmartcardExtension->OsData != NULL);
  ULONG events = CardEventsSoFar(SmartcardExtension);
  ULONG reading = SCARD_UNKNOWN;
  if (ReadCardState(SmartcardExtension, &reading) == STATUS_SUCCESS) {
    RecordCardState(SmartcardExtension, reading, CardRegisterReadAsNewCard, events);
  }
}

VOID SetCardStateWhilePresent(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State) {
  ASSERT(SmartcardExtension != NULL && SmartcardExtension->OsData != NULL);
  ASSERT(State > SCARD_ABSENT);
  KIRQL irql;
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
  if (SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT) {
    SmartcardExtension->ReaderCapabilities.CurrentState = State;
  }
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
}

VOID ForgetCardState(PSMARTCARD_EXTENSION SmartcardExtension) {
  ASSERT(SmartcardExtension != NULL && SmartcardExtension->OsData != NULL);
  KIRQL irql;
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
  BOOLEAN cardKnown = SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT;
  SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_UNKNOWN;
  SmartcardExtension->ReaderExtension->CardEvents++;
  PIRP irp = cardKnown ? TakeParkedTrackingRequest(SmartcardExtension) : NULL;
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
  CompleteTrackingRequest(irp);
}

NTSTATUS NTAPI CardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  ASSERT(SmartcardExtension != NULL && SmartcardExtension->OsData != NULL);

  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);

  PIRP irp = SmartcardExtension->OsData->NotificationIrp;
  if (irp != NULL) {
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    BOOLEAN handleCleanedUp =
        fileObject != NULL && fileObject == ((PDEVICE_EXTENSION)SmartcardExtension)->CleanedUpFileObject;
    IoSetCancelRoutine(irp, CancelCardTracking);
    if ((irp->Cancel || handleCleanedUp) && IoSetCancelRoutine(irp, NULL) != NULL) {
      // Cancelled before it became cancellable: the I/O manager found
      // no cancel routine then, so nobody else will end the request.
      // Likewise a request whose handle's cleanup has run already.
      irp->CancelIrql = cancelIrql;
      CancelCardTracking(SmartcardExtension->OsData->DeviceObject, irp);
      return STATUS_PENDING;
    }
  }

  IoReleaseCancelSpinLock(cancelIrql);
  return STATUS_PENDING;
}

VOID NTAPI CancelCardTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  ASSERT(DeviceObject != NULL && Irp != NULL);
  PSMARTCARD_EXTENSION smartcardExtension = &((PDEVICE_EXTENSION)DeviceObject->DeviceExtension)->SmartcardExtension;

  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;

  // Only the parked request is taken out; with the cancel spin lock held
  // nobody else can have replaced it.
  ASSERT(smartcardExtension->OsData->NotificationIrp == Irp);
  if (smartcardExtension->OsData->NotificationIrp == Irp) {
    smartcardExtension->OsData->NotificationIrp = NULL;
  }

  IoReleaseCancelSpinLock(Irp->CancelIrql);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}
