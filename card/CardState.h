// Card state and card tracking: keeps ReaderCapabilities.CurrentState in step
// with the reader and completes the card-tracking request that the smart card
// library parks in OsData->NotificationIrp when the card comes or goes.
#pragma once

#include <wdm.h>
#include <smclib.h>

// Records the card state and completes a parked tracking request when the
// state crosses between the no-card class (0, 1) and the card class (2 to 6).
// A non-zero state is a card event the reader reported and never touches the
// reader. State 0 asks the reader (register 4); it then waits and must be
// called below DISPATCH_LEVEL, and its answer is dropped when a card event
// was recorded while the read ran (the event came later).
VOID UpdateCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State);

// Asks the reader again after a power-up and counts a card in it as newly
// inserted (a parked tracking request is completed as after an insertion).
// A reader that does not answer, or a card event recorded while the read
// ran, leaves the state as it is. Waits: below DISPATCH_LEVEL.
VOID ReadCardStateAsNewlyInserted(PSMARTCARD_EXTENSION SmartcardExtension);

// Records a state of the card class (SCARD_PRESENT to SCARD_SPECIFIC) that an
// exchange with the card reached, unless the card is no longer known: a
// removal reported while the exchange ran wins. Never completes a tracking
// request (the class does not change); any IRQL up to DISPATCH_LEVEL.
VOID SetCardStateWhilePresent(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State);

// The reader has gone away by itself (its DSR line changed, or the serial
// wait failed): nothing it said about the card holds any more. Sets the
// state to SCARD_UNKNOWN and completes a parked tracking request when a card
// was known. Never touches the reader; any IRQL up to DISPATCH_LEVEL.
VOID ForgetCardState(PSMARTCARD_EXTENSION SmartcardExtension);

// Asks the reader (register 4) whether a card is in it: *State becomes
// SCARD_SWALLOWED or SCARD_ABSENT, and stays as it was when the reader does
// not answer (the read's status is returned). Waits: below DISPATCH_LEVEL.
NTSTATUS ReadCardState(PSMARTCARD_EXTENSION SmartcardExtension, PULONG State);

// RDF_CARD_TRACKING callback: makes the parked request cancellable.
// Always returns STATUS_PENDING.
NTSTATUS NTAPI CardTracking(PSMARTCARD_EXTENSION SmartcardExtension);

// Cancel routine of the parked tracking request. Entered with the cancel spin
// lock held (IRQL in Irp->CancelIrql); releases it and completes the request
// with STATUS_CANCELLED.
VOID NTAPI CancelCardTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Takes the parked tracking request, if any, away from its cancel routine and
// out of NotificationIrp, under the cancel spin lock; the caller then owns it
// and completes it, with no spin lock held.
PIRP TakeParkedTrackingRequest(PSMARTCARD_EXTENSION SmartcardExtension);

// True when going from OldState to NewState crosses between the no-card class
// (SCARD_UNKNOWN, SCARD_ABSENT) and the card class (SCARD_PRESENT and above);
// leaving SCARD_UNKNOWN always counts as a change.
BOOLEAN CardStateChanged(ULONG OldState, ULONG NewState);
