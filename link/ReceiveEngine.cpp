// The receive engine: the serial event worker that decodes the reader's
// stream into ReceiveBuffer, and the receive operations that take bytes out.
//
// Wake rules. A waiting thread is woken only when a worker run ends, never in
// the middle of one, and only when during the run
//   - a stored data byte completed the wanted count, or
//   - a data-error byte (0x10 0x88) brought the count to the wanted count, or
//   - the reader reported an error (0x10 0x84), or
//   - a time-out code (0x10 0x83) came outside a waiting-time extension, or
//   - the run ended by a serial read time-out outside a waiting-time
//     extension (the thread then sees STATUS_TIMEOUT).
// Before each read the worker asks the serial driver how many bytes are
// queued and takes them all (up to a chunk), so a burst is drained in a few
// requests. With nothing queued it still waits in a one-byte read while a
// thread needs more bytes, after an escape byte and after a reader code that
// leaves the waiting receive open; otherwise the run ends. The time-out
// marker settles the receive, so after it the run goes on only while bytes
// are queued.
//
// Each run keeps its status to itself and hands it over (ReceiveStatus) with
// the wake-up, under ReceiveLock; the woken thread clears DataAvailable and
// reads ReceiveStatus under the same lock. The woken thread may not have run
// when the next run ends, which must not erase a failure it has not seen. A
// run arms the next serial wait as its very last step.

#include "link/ReceiveEngine.h"

#include "card/CardState.h"
#include "link/ReaderStart.h"
#include "link/SerialChannel.h"

// Asks the serial driver how many received bytes its input queue holds.
// Returns the request's status; *Queued is 0 when it failed.
static NTSTATUS BytesQueued(PREADER_EXTENSION ReaderExtension, PULONG Queued) {
  SERIAL_STATUS serialStatus;
  RtlZeroMemory(&serialStatus, sizeof(serialStatus));
  NTSTATUS status =
      SerialIoControl(ReaderExtension, IOCTL_SERIAL_GET_COMMSTATUS, NULL, 0, &serialStatus, sizeof(serialStatus));
  *Queued = status == STATUS_SUCCESS ? serialStatus.AmountInInQueue : 0;
  return status;
}

// What one worker run hands the waiting thread when it ends, and the exchange
// (ReceiveSequence) that decided it.
typedef struct _RECEIVE_RUN {
  NTSTATUS Status;
  BOOLEAN Wake;
  ULONG Sequence;
} RECEIVE_RUN, *PRECEIVE_RUN;

// Called under ReceiveLock before a run decides to wake the thread: what the
// run decided for an exchange that a write has ended since is void.
static VOID JoinCurrentExchange(PREADER_EXTENSION ReaderExtension, PRECEIVE_RUN Run) {
  if (Run->Sequence != ReaderExtension->ReceiveSequence) {
    Run->Sequence = ReaderExtension->ReceiveSequence;
    Run->Status = STATUS_SUCCESS;
    Run->Wake = FALSE;
  }
}

// Handles the reader code that followed an escape byte; a code that fails the
// waiting receive sets the run's status. Returns TRUE when the code ends the
// run (card insertion and removal). *Settled is set when the code decided
// what the waiting receive gets (the time-out marker): the run then goes on
// only while bytes are queued, instead of waiting in a read for bytes that
// cannot change the outcome.
static BOOLEAN HandleReaderCode(PREADER_EXTENSION ReaderExtension, UCHAR Code, PRECEIVE_RUN Run, PBOOLEAN Settled) {
  PSMARTCARD_EXTENSION smartcardExtension = ReaderExtension->SmartcardExtension;
  KIRQL oldIrql;

  switch (Code) {
    case READER_EVENT_CARD_INSERTED: UpdateCardState(smartcardExtension, SCARD_PRESENT); return TRUE;

    case READER_EVENT_CARD_REMOVED: UpdateCardState(smartcardExtension, SCARD_ABSENT); return TRUE;

    case READER_STATUS_ERROR:
      // The error byte goes just behind the counted bytes, where a failed
      // receive finds it at the front when nothing else was counted.
      KeAcquireSpinLock(&ReaderExtension->ReceiveLock, &oldIrql);
      ASSERT(ReaderExtension->ReceivedBytes < TAV712_RECEIVE_BUFFER_SIZE);
      ReaderExtension->ReceiveBuffer[ReaderExtension->ReceivedBytes] = READER_STATUS_ERROR;
      if (ReaderExtension->BytesWanted != TAV712_NO_BYTES_WANTED) {
        ASSERT(ReaderExtension->BytesWanted <= TAV712_MAX_RECEIVE);
        ReaderExtension->ReceivedBytes = ReaderExtension->BytesWanted;
      }
      ReaderExtension->ReceiveFailurePending = TRUE;
      ReaderExtension->ReplyPending = FALSE;
      JoinCurrentExchange(ReaderExtension, Run);
      Run->Status = STATUS_UNSUCCESSFUL;
      Run->Wake = TRUE;
      KeReleaseSpinLock(&ReaderExtension->ReceiveLock, oldIrql);
      return FALSE;

    case READER_STATUS_DATA_ERROR:
      // A 0x00 stands in for the byte the reader could not receive.
      KeAcquireSpinLock(&ReaderExtension->ReceiveLock, &oldIrql);
      ReaderExtension->ReplyPending = FALSE;
      if (ReaderExtension->ReceivedBytes + 1 < TAV712_RECEIVE_BUFFER_SIZE) {
        ReaderExtension->ReceiveBuffer[ReaderExtension->ReceivedBytes++] = 0x00;
      }
      ReaderExtension->TransferError = STATUS_DATA_ERROR;
      if (ReaderExtension->ReceivedBytes >= ReaderExtension->BytesWanted) {
        JoinCurrentExchange(ReaderExtension, Run);
        Run->Wake = TRUE;
      }
      KeReleaseSpinLock(&ReaderExtension->ReceiveLock, oldIrql);
      return FALSE;

    case READER_STATUS_TIMEOUT:
      // During a waiting-time extension the card is still working.
      if (smartcardExtension->T1.Wtx != 0) {
        return FALSE;
      }
      KeAcquireSpinLock(&ReaderExtension->ReceiveLock, &oldIrql);
      if (ReaderExtension->ReplyPending) {
        // The reader replies to every command before anything else: a
        // marker ahead of the reply closed the card's transfer of the
        // exchange before (it came behind a late reply and the bytes
        // that followed it), and must not end this command's receive.
        KeReleaseSpinLock(&ReaderExtension->ReceiveLock, oldIrql);
        return FALSE;
      }
      JoinCurrentExchange(ReaderExtension, Run);
      if (ReaderExtension->BytesWanted != TAV712_NO_BYTES_WANTED &&
          ReaderExtension->ReceivedBytes < ReaderExtension->BytesWanted) {
        Run->Status = STATUS_IO_TIMEOUT;
      } else {
        ReaderExtension->BlockEndStatus = STATUS_SUCCESS;
      }
      Run->Wake = TRUE;
      KeReleaseSpinLock(&ReaderExtension->ReceiveLock, oldIrql);
      *Settled = TRUE;
      return FALSE;

    default: return FALSE;
  }
}

// Hands Status to the waiting thread and wakes it; called under ReceiveLock.
// A woken thread may not have run yet when the next run ends, so a failure
// it has not taken is never replaced by a later run's success: the thread
// would take the reader's error byte for data.
static VOID HandOverLocked(PREADER_EXTENSION ReaderExtension, NTSTATUS Status) {
  BOOLEAN failureUntaken =
      KeReadStateEvent(&ReaderExtension->DataAvailable) != 0 && ReaderExtension->ReceiveStatus != STATUS_SUCCESS;
  if (!failureUntaken) {
    ReaderExtension->ReceiveStatus = Status;
  }
  ReaderExtension->ReceiveFailurePending = FALSE;
  KeSetEvent(&ReaderExtension->DataAvailable, IO_SERIAL_INCREMENT, FALSE);
}

// Hands a run's status over with its wake-up, unless a write has started
// another exchange since the run decided it: the thread may have returned
// without this wake-up (it found the bytes, or the block-end marker, already
// there) and sent its next command, whose receive must not take it.
static VOID WakeReceiver(PREADER_EXTENSION ReaderExtension, PRECEIVE_RUN Run) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&ReaderExtension->ReceiveLock, &oldIrql);
  if (Run->Sequence == ReaderExtension->ReceiveSequence) {
    HandOverLocked(ReaderExtension, Run->Status);
  }
  KeReleaseSpinLock(&ReaderExtension->ReceiveLock, oldIrql);
}

// The exchange a read issued now serves.
static ULONG CurrentExchange(PREADER_EXTENSION ReaderExtension) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&ReaderExtension->ReceiveLock, &oldIrql);
  ULONG sequence = ReaderExtension->ReceiveSequence;
  KeReleaseSpinLock(&ReaderExtension->ReceiveLock, oldIrql);
  return sequence;
}

// Decodes one byte of the reader's stream. Returns TRUE when it ends the run
// (a card event). *ReadOn tells whether the worker, with nothing queued, must
// still wait in a read for the next byte: after an escape byte, after a
// reader code that does not settle the waiting receive, and while a count is
// still wanted.
static BOOLEAN DecodeByte(PREADER_EXTENSION ReaderExtension, UCHAR Byte, PRECEIVE_RUN Run, PBOOLEAN ReadOn) {
  KIRQL oldIrql;

  *ReadOn = TRUE;
  if (!ReaderExtension->EscapePending && Byte == READER_ESCAPE) {
    ReaderExtension->EscapePending = TRUE;
    return FALSE;
  }
  if (ReaderExtension->EscapePending) {
    ReaderExtension->EscapePending = FALSE;
    if (Byte != READER_ESCAPE) {
      BOOLEAN settled = FALSE;
      BOOLEAN endsRun = HandleReaderCode(ReaderExtension, Byte, Run, &settled);
      // The reader's time-out marker comes at the end of its waiting
      // time, when the card has stopped sending. A run that waited on
      // in a read here would hand its wake-up and the marker's status
      // to the next command's reply instead, or end that command's
      // receive by its time-out.
      *ReadOn = !settled;
      return endsRun;
    }
    // 0x10 0x10 is the data byte 0x10.
  }

  // A data byte: stored behind the counted bytes unless only the last slot
  // is left, in which case it is dropped and the next one read.
  KeAcquireSpinLock(&ReaderExtension->ReceiveLock, &oldIrql);
  ReaderExtension->ReplyPending = FALSE;
  if (ReaderExtension->ReceivedBytes + 1 < TAV712_RECEIVE_BUFFER_SIZE) {
    ReaderExtension->ReceiveBuffer[ReaderExtension->ReceivedBytes++] = Byte;
    if (ReaderExtension->ReceivedBytes >= ReaderExtension->BytesWanted) {
      if (ReaderExtension->BytesWanted != TAV712_NO_BYTES_WANTED) {
        JoinCurrentExchange(ReaderExtension, Run);
        Run->Wake = TRUE;
      }
      ReaderExtension->BytesWanted = TAV712_NO_BYTES_WANTED;
    }
    *ReadOn = ReaderExtension->BytesWanted != TAV712_NO_BYTES_WANTED;
  }
  KeReleaseSpinLock(&ReaderExtension->ReceiveLock, oldIrql);
  return FALSE;
}

VOID NTAPI SerialEventWorker(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PREADER_EXTENSION readerExtension = (PREADER_EXTENSION)Context;
  PSMARTCARD_EXTENSION smartcardExtension = readerExtension->SmartcardExtension;

  // What this run hands to the waiting thread when it ends.
  RECEIVE_RUN run;
  run.Status = STATUS_SUCCESS;
  run.Wake = FALSE;
  run.Sequence = CurrentExchange(readerExtension);
  BOOLEAN readOn = FALSE;
  BOOLEAN endsRun = FALSE;
  ULONG readSequence = run.Sequence;
  // The wait that queued this run may also have seen the reader's DSR line
  // change: its cable was pulled, or pulled and plugged in again with its
  // registers back at their power-on values. The bytes are handled first;
  // then the reader is treated as gone, as after a DSR change alone.
  BOOLEAN readerWentAway = (readerExtension->SerialEventMask & SERIAL_EV_DSR) != 0;

  // Each read takes what the port's input queue holds (up to a chunk), so
  // that a burst is drained in a few requests whatever pieces it arrived
  // in; with nothing queued, a read of one byte waits for it when the
  // stream must go on (readOn), bounded by the serial read time-outs.
  ULONG queued = 0;
  NTSTATUS status = BytesQueued(readerExtension, &queued);
  while (status == STATUS_SUCCESS && !endsRun && (queued != 0 || readOn)) {
    ULONG count = queued == 0 ? 1 : queued < TAV712_READ_CHUNK_SIZE ? queued : TAV712_READ_CHUNK_SIZE;
    ULONG got = 0;
    readSequence = CurrentExchange(readerExtension);
    status = SerialRead(readerExtension, readerExtension->ReadChunk, count, &got);
    // Bytes a failed read took are decoded too: they have left the port.
    // A card event ends the run after the bytes read with it.
    for (ULONG i = 0; i < got; ++i) {
      if (DecodeByte(readerExtension, readerExtension->ReadChunk[i], &run, &readOn)) {
        endsRun = TRUE;
      }
    }
    if (status != STATUS_SUCCESS) {
      break;
    }
    if (!endsRun) {
      status = BytesQueued(readerExtension, &queued);
    }
  }

  // A read that timed out while the exchange it was issued for still runs
  // ends that receive early, and the port is purged of what came late. Once
  // a write has started the next exchange the time-out says nothing about
  // it, and a purge would take its reply. A failed read purges, and so does
  // a run that could not ask how many bytes are queued: what it left in the
  // port would be read with the next reply and taken for it.
  BOOLEAN purge = status != STATUS_SUCCESS;
  if (status == STATUS_TIMEOUT && smartcardExtension->T1.Wtx == 0) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&readerExtension->ReceiveLock, &oldIrql);
    BOOLEAN current = readSequence == readerExtension->ReceiveSequence;
    if (current) {
      JoinCurrentExchange(readerExtension, &run);
      run.Status = STATUS_TIMEOUT;
      run.Wake = TRUE;
    }
    KeReleaseSpinLock(&readerExtension->ReceiveLock, oldIrql);
    purge = current;
  }

  // The run's last steps: the purge, the wake-up, and the next wait, armed
  // last. The purge goes before the wake-up, so that a thread woken by a
  // time-out cannot have its next command's reply purged. Once the wait is
  // armed the run touches nothing more: the wait may end at once (a stop
  // empties the mask), the close worker close the port and a removal free
  // the reader record and the port below, all before this thread has the
  // CPU again. (A wait armed after a stop emptied the mask is refused, and
  // its completion queues the close just the same.)
  if (purge) {
    ULONG purgeMask = TAV712_PURGE_MASK;
    (VOID) SerialIoControl(readerExtension, IOCTL_SERIAL_PURGE, &purgeMask, sizeof(purgeMask), NULL, 0);
  }
  if (run.Wake) {
    WakeReceiver(readerExtension, &run);
  }
  // A wait that cannot be armed leaves the port unwatched: it is closed as
  // after a failed wait, so that the link ends Closed and a stop does not
  // wait for a wait that never ends. A reader that went away is closed too.
  if (readerWentAway || StartSerialEventWait(readerExtension) != STATUS_SUCCESS) {
    IoQueueWorkItem(readerExtension->CloseSerialWorkItem, CloseSerialPortWorker, DelayedWorkQueue, NULL);
  }
}

VOID EndWaitingReceive(PREADER_EXTENSION ReaderExtension) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&ReaderExtension->ReceiveLock, &oldIrql);
  HandOverLocked(ReaderExtension, STATUS_DEVICE_REMOVED);
  KeReleaseSpinLock(&ReaderExtension->ReceiveLock, oldIrql);
}

NTSTATUS ReaderStatusToNtStatus(UCHAR ReaderStatus) {
  switch (ReaderStatus) {
    case READER_STATUS_OVERRUN: return STATUS_DATA_OVERRUN;
    case READER_STATUS_CRC: return STATUS_CRC_ERROR;
    case READER_STATUS_TIMEOUT: return STATUS_IO_TIMEOUT;
    case READER_STATUS_ERROR:
    case READER_STATUS_DATA_ERROR: return STATUS_DATA_ERROR;
    case READER_STATUS_OK: return STATUS_SUCCESS;
    default: return STATUS_UNSUCCESSFUL;
  }
}

// Hands the oldest Count bytes to Buffer and moves the rest to the front.
// Called under ReceiveLock with at least Count bytes buffered.
static VOID TakeBytes(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, ULONG Count) {
  ASSERT(ReaderExtension->ReceivedBytes >= Count);
  if (Count == 0) {
    return;
  }
  RtlCopyMemory(Buffer, ReaderExtension->ReceiveBuffer, Count);
  ReaderExtension->ReceivedBytes -= Count;
  RtlMoveMemory(ReaderExtension->ReceiveBuffer, ReaderExtension->ReceiveBuffer + Count, ReaderExtension->ReceivedBytes);
}

NTSTATUS ReaderReceive(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, ULONG Count) {
  ASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
  // The buffer never holds more; a larger count (it may come from a card's
  // length byte) could never be met and would let a reader error move the
  // count past the buffer's end.
  if (Count > TAV712_MAX_RECEIVE) {
    return STATUS_BUFFER_TOO_SMALL;
  }

  KIRQL oldIrql;
  KeAcquireSpinLock(&ReaderExtension->ReceiveLock, &oldIrql);
  // The reply may have come before this thread got here (it lost the CPU
  // after its write): a failure handed over then, and not taken yet, is
  // the reply's outcome, whatever bytes followed it; so is a reader error
  // whose run has not ended yet. A time-out handed to nobody only says that
  // the line went quiet after the bytes it left.
  NTSTATUS untaken =
      KeReadStateEvent(&ReaderExtension->DataAvailable) != 0 ? ReaderExtension->ReceiveStatus : STATUS_SUCCESS;
  BOOLEAN failureUntaken =
      (untaken != STATUS_SUCCESS && untaken != STATUS_TIMEOUT) || ReaderExtension->ReceiveFailurePending;
  if (ReaderExtension->ReceivedBytes >= Count && !failureUntaken) {
    TakeBytes(ReaderExtension, Buffer, Count);
    KeReleaseSpinLock(&ReaderExtension->ReceiveLock, oldIrql);
    return STATUS_SUCCESS;
  }
  ReaderExtension->BytesWanted = Count;
  KeReleaseSpinLock(&ReaderExtension->ReceiveLock, oldIrql);

  ULONG timeoutMs = ReaderExtension->ReadCharTimeout * Count + ReaderExtension->ReadTotalTimeout;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -((LONGLONG)timeoutMs * 10000);
  NTSTATUS waitStatus = KeWaitForSingleObject(&ReaderExtension->DataAvailable, Executive, KernelMode, FALSE, &timeout);

  // The wake-up and the status it carries are taken together. From here on
  // nobody waits: bytes that come later (a reply after this receive timed
  // out, or the next command's reply before its receive starts) wake
  // nobody, so no wake-up is left for the next receive to take as its own.
  KeAcquireSpinLock(&ReaderExtension->ReceiveLock, &oldIrql);
  KeClearEvent(&ReaderExtension->DataAvailable);
  ReaderExtension->BytesWanted = TAV712_NO_BYTES_WANTED;
  NTSTATUS status = waitStatus == STATUS_TIMEOUT ? STATUS_TIMEOUT : ReaderExtension->ReceiveStatus;
  if (status == STATUS_TIMEOUT || status == STATUS_IO_TIMEOUT) {
    status = STATUS_IO_TIMEOUT;
  } else if (status == STATUS_DEVICE_REMOVED) {
    // The link closed under the receive; whatever the buffer holds is
    // not the reader's word on it.
  } else if (status != STATUS_SUCCESS) {
    // The reader's status byte at the front tells what went wrong. A
    // front byte that reads as success proves nothing was delivered, so
    // the worker's failure stands.
    NTSTATUS frontStatus = ReaderStatusToNtStatus(ReaderExtension->ReceiveBuffer[0]);
    if (frontStatus != STATUS_SUCCESS) {
      status = frontStatus;
    }
  } else if (ReaderExtension->ReceivedBytes >= Count) {
    TakeBytes(ReaderExtension, Buffer, Count);
  } else {
    // Woken without the bytes (a block end or a stale wake-up).
    status = STATUS_IO_TIMEOUT;
  }
  KeReleaseSpinLock(&ReaderExtension->ReceiveLock, oldIrql);
  return status;
}

NTSTATUS ReaderReadBytes(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, PULONG Length, ULONG Count) {
  if (Count == 0) {
    *Length = 0;
    return STATUS_SUCCESS;
  }

  UCHAR bytes[TAV712_RECEIVE_BUFFER_SIZE];
  NTSTATUS status = ReaderReceive(ReaderExtension, bytes, Count);
  if (status != STATUS_SUCCESS) {
    *Length = 0;
    return status;
  }
  if (Count > *Length) {
    *Length = 0;
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlCopyMemory(Buffer, bytes, Count);
  *Length = Count;
  return STATUS_SUCCESS;
}

NTSTATUS WaitForBlockEnd(PREADER_EXTENSION ReaderExtension) {
  if (ReaderExtension->BlockEndStatus == STATUS_SUCCESS) {
    return STATUS_SUCCESS;
  }
  LARGE_INTEGER timeout;
  timeout.QuadPart = -((LONGLONG)ReaderExtension->ReadCharTimeout * 10000);
  (VOID) KeWaitForSingleObject(&ReaderExtension->DataAvailable, Executive, KernelMode, FALSE, &timeout);
  KeClearEvent(&ReaderExtension->DataAvailable);
  return ReaderExtension->BlockEndStatus;
}
