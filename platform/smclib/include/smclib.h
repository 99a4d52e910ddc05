/*
 * smclib.h: the smart card driver library, as a reader driver sees it.
 *
 * A reader driver keeps one SMARTCARD_EXTENSION per reader (usually as the
 * first member of its device extension), fills in the vendor attributes, the
 * reader capabilities and the callback slots, calls SmartcardInitialize, and
 * then hands every device-control request to SmartcardDeviceControl. The
 * library checks the caller's buffers, keeps the card state model, answers
 * what it can by itself (attributes, state, presence) and calls the driver's
 * callbacks for what needs the reader (power, protocol selection, transmit,
 * card tracking, vendor codes), one request at a time per reader. It also
 * frames T=0 commands and runs the T=1 block protocol for the driver, parses
 * the card's answer-to-reset, and offers a remove lock and event logging.
 *
 * Usable from kernel code: it needs only the kernel's <wdm.h> (or <ntddk.h>)
 * and <winsmcrd.h>.
 */
#ifndef _SMCLIB_
#define _SMCLIB_

#include <wdm.h>
#include <winsmcrd.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Version of this interface; a driver stores the version it was written for
 * in SMARTCARD_EXTENSION.Version and SmartcardInitialize refuses older ones. */
#define SMCLIB_VERSION 0x150
#define SMCLIB_VERSION_REQUIRED 0x100

/* Indices of SMARTCARD_EXTENSION.ReaderFunction. An empty slot makes the
 * request it serves answer STATUS_NOT_SUPPORTED. */
#define RDF_CARD_POWER 0
#define RDF_TRANSMIT 1
#define RDF_CARD_EJECT 2
#define RDF_READER_SWALLOW 3
#define RDF_CARD_TRACKING 4
#define RDF_SET_PROTOCOL 5
#define RDF_DEBUG_LEVEL 6
#define RDF_CARD_CONFISCATE 7
#define RDF_IOCTL_VENDOR 8
#define RDF_ATR_PARSE 9
#define RDF_MAXIMUM 16

/* Values of PTS_DATA.Type. */
#define PTS_TYPE_DEFAULT 0x00
#define PTS_TYPE_OPTIMAL 0x01
#define PTS_TYPE_USER 0x02

/* Values of T1_DATA.State and T1_DATA.OriginalState: what the block that
 * SmartcardT1Request builds next is. S-block states carry the block's PCB. */
#define T1_INIT 0
#define T1_START 1
#define T1_I_BLOCK 2
#define T1_R_BLOCK 3
#define T1_RESTART 4
#define T1_RESYNCH_REQUEST 0xC0
#define T1_RESYNCH_RESPONSE 0xE0
#define T1_IFS_REQUEST 0xC1
#define T1_IFS_RESPONSE 0xE1
#define T1_ABORT_REQUEST 0xC2
#define T1_ABORT_RESPONSE 0xE2
#define T1_WTX_REQUEST 0xC3
#define T1_WTX_RESPONSE 0xE3
#define T1_VPP_ERROR 0xE4

/* Values of CardCapabilities.T1.EDC. */
#define T1_CRC_CHECK 0x01

/* Minimum sizes of the library's request and reply buffers. */
#define MIN_BUFFER_SIZE 288
#define MAX_T1_BLOCK_SIZE 260

/* Pool tag of the library's allocations. */
#define SMARTCARD_POOL_TAG 0x624C4353u /* 'bLCS' */

typedef struct _SMARTCARD_EXTENSION* PSMARTCARD_EXTENSION;

/* The driver's own per-reader record; the library only carries the pointer. */
typedef struct _READER_EXTENSION* PREADER_EXTENSION;

/* One entry of the ISO/IEC 7816-3 clock rate conversion table (index Fi):
 * the factor F and the highest clock frequency fs in Hz (0 when reserved). */
typedef struct _CLOCK_RATE_CONVERSION {
  const ULONG F;
  const ULONG fs;
} CLOCK_RATE_CONVERSION, *PCLOCK_RATE_CONVERSION;

/* One entry of the bit rate adjustment table (index Di): D as the fraction
 * DNumerator / DDivisor (DNumerator 0 when reserved). */
typedef struct _BIT_RATE_ADJUSTMENT {
  const ULONG DNumerator;
  const ULONG DDivisor;
} BIT_RATE_ADJUSTMENT, *PBIT_RATE_ADJUSTMENT;

/* The protocol type selection that the driver proposes to the card. */
typedef struct _PTS_DATA {
  UCHAR Type;         /* PTS_TYPE_DEFAULT, _OPTIMAL or _USER */
  UCHAR Fl;           /* Fi index proposed in PTS1 */
  UCHAR Dl;           /* Di index proposed in PTS1 */
  ULONG CLKFrequency; /* clock in kHz after the selection */
  ULONG DataRate;     /* data rate in bit/s after the selection */
  UCHAR StopBits;     /* extra guard time in ETU */
} PTS_DATA, *PPTS_DATA;

/* Everything the library knows about the card from its answer-to-reset. */
typedef struct _SCARD_CARD_CAPABILITIES {
  BOOLEAN InversConvention; /* TS was 0x3F */
  ULONG etu;                /* elementary time unit in microseconds */
  struct {
    UCHAR Buffer[64];
    UCHAR Length;
  } ATR;
  struct {
    UCHAR Buffer[16];
    UCHAR Length;
  } HistoricalChars;
  PCLOCK_RATE_CONVERSION ClockRateConversion; /* 16 entries */
  PBIT_RATE_ADJUSTMENT BitRateAdjustment;     /* 16 entries */
  UCHAR Fl;                                   /* Fi index in use */
  UCHAR Dl;                                   /* Di index in use */
  UCHAR II;                                   /* programming current (TB1) */
  UCHAR P;                                    /* programming voltage (TB1, TB2) */
  UCHAR N;                                    /* extra guard time (TC1) */
  ULONG GT;                                   /* guard time in microseconds */
  struct {
    ULONG Supported; /* SCARD_PROTOCOL_T0 / _T1 bits the card offers */
    ULONG Selected;  /* the protocol in use, 0 when none */
  } Protocol;
  struct {
    UCHAR WI; /* waiting integer (TC2), 10 by default */
    ULONG WT; /* work waiting time in microseconds */
  } T0;
  struct {
    UCHAR IFSC; /* card's information field size (TA3), 32 by default */
    UCHAR CWI;  /* character waiting integer (TB3 low nibble), 13 by default */
    UCHAR BWI;  /* block waiting integer (TB3 high nibble), 4 by default */
    UCHAR EDC;  /* T1_CRC_CHECK when the card asks for CRC (TC3 bit 0) */
    ULONG CWT;  /* character waiting time in microseconds */
    ULONG BWT;  /* block waiting time in microseconds */
    ULONG BGT;  /* block guard time in microseconds */
  } T1;
  PTS_DATA PtsData;
  UCHAR SpecificMode; /* TA2 present: the card starts in a specific mode */
  UCHAR Reserved[99 - sizeof(PTS_DATA)];
} SCARD_CARD_CAPABILITIES, *PSCARD_CARD_CAPABILITIES;

/* What the reader is and can do; CurrentState is the card state model. */
typedef struct _SCARD_READER_CAPABILITIES {
  ULONG SupportedProtocols;
  ULONG Reserved;
  ULONG ReaderType;     /* SCARD_READER_TYPE_* */
  ULONG MechProperties; /* SCARD_READER_SWALLOWS / _EJECTS / _CONFISCATES */
  ULONG CurrentState;   /* SCARD_UNKNOWN .. SCARD_SPECIFIC */
  ULONG Channel;        /* channel number (serial: port number) */
  struct {
    ULONG Default; /* kHz */
    ULONG Max;     /* kHz */
  } CLKFrequency;
  struct {
    ULONG Default; /* bit/s */
    ULONG Max;     /* bit/s */
  } DataRate;
  ULONG MaxIFSD;
  ULONG PowerMgmtSupport;
  ULONG CardConfiscated;
  struct {
    PULONG List;
    UCHAR Entries;
  } DataRatesSupported;
  struct {
    PULONG List;
    UCHAR Entries;
  } CLKFrequenciesSupported;
  UCHAR Reserved1[64];
} SCARD_READER_CAPABILITIES, *PSCARD_READER_CAPABILITIES;

/* The reader's identity, reported by the vendor attributes. Lengths count
 * bytes of Buffer (a terminating zero counts when the driver stores one). */
typedef struct _VENDOR_ATTR {
  struct {
    USHORT Length;
    UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
  } VendorName;
  struct {
    USHORT Length;
    UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
  } IfdType;
  ULONG UnitNo;
  struct {
    USHORT BuildNumber;
    UCHAR VersionMinor;
    UCHAR VersionMajor;
  } IfdVersion;
  struct {
    USHORT Length;
    UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
  } IfdSerialNo;
  ULONG Reserved[25];
} VENDOR_ATTR, *PVENDOR_ATTR;

/* The library's buffers towards the card (request) and from it (reply). */
typedef struct _SMARTCARD_REQUEST {
  PUCHAR Buffer;
  ULONG BufferSize;   /* capacity, set by the driver before SmartcardInitialize */
  ULONG BufferLength; /* bytes in use */
} SMARTCARD_REQUEST, *PSMARTCARD_REQUEST;

typedef struct _SMARTCARD_REPLY {
  PUCHAR Buffer;
  ULONG BufferSize;
  ULONG BufferLength;
} SMARTCARD_REPLY, *PSMARTCARD_REPLY;

/* T=0 command being framed: command data length and expected reply length. */
typedef struct _T0_DATA {
  ULONG Lc;
  ULONG Le;
} T0_DATA, *PT0_DATA;

/* State of the T=1 block protocol. The driver may set NAD before each
 * SmartcardT1Request; it reads State/OriginalState and consumes Wtx. */
typedef struct _T1_DATA {
  UCHAR IFSC;          /* information field size of the card in force */
  UCHAR IFSD;          /* information field size of the reader in force */
  ULONG BytesReceived; /* INF bytes of the card's answer delivered so far */
  ULONG BytesSent;     /* command bytes acknowledged by the card so far */
  ULONG BytesToSend;   /* command bytes not yet acknowledged */
  UCHAR LastError;     /* error code of the last R-block built (0, 1, 2) */
  BOOLEAN MoreData;    /* the card's answer chain is not complete */
  UCHAR NAD;           /* node address of the blocks sent */
  ULONG OriginalState; /* state to return to after an S-block or an error */
  UCHAR Resend;        /* retransmissions of the current block */
  UCHAR Resynch;       /* resynchronisation attempts */
  UCHAR RSN;           /* N(S) expected in the card's next I-block */
  UCHAR SSN;           /* N(S) of our next I-block */
  ULONG State;         /* T1_* value: the block built next */
  UCHAR Wtx;           /* waiting time extension granted, 0 when none */
  PUCHAR ReplyData;    /* where the card's INF bytes go */
  BOOLEAN WaitForReply;
  UCHAR InfBytesSent; /* INF length of the last I-block sent */
  /* Library-private protocol state. */
  UCHAR LastSentPcb;          /* PCB of the last block built */
  UCHAR LastSentInf;          /* INF byte of the last S-block built */
  UCHAR ErrorCount;           /* consecutive failed exchanges of the current block */
  UCHAR IfsdRequested;        /* IFSD proposed by the pending S(IFS request) */
  BOOLEAN CommandActive;      /* a command is being exchanged */
  BOOLEAN IBlockPending;      /* our last I-block awaits its acknowledgement */
  BOOLEAN CardMute;           /* the last failure was a missing answer */
  BOOLEAN Aborted;            /* the card aborted the exchange */
  BOOLEAN ReplyOverflow;      /* the card's answer does not fit the caller's buffer */
  USHORT WtxCount;            /* waiting time extensions granted in this command */
  BOOLEAN SuppressIfsRequest; /* SCARD_ATTR_SUPRESS_T1_IFS_REQUEST: keep IFSD 32 */
} T1_DATA, *PT1_DATA;

/* Transfer counters (IOCTL_SMARTCARD_GET_PERF_CNTR). */
typedef struct _PERF_INFO {
  ULONG NumTransmissions;
  ULONG BytesSent;
  ULONG BytesReceived;
  ULONG Reserved;
} PERF_INFO, *PPERF_INFO;

/* Operating-system part of the library's record, allocated by
 * SmartcardInitialize. The driver stores its device object in DeviceObject;
 * CurrentIrp is the request being served; NotificationIrp is the parked
 * card-tracking request. SpinLock guards CurrentState and NotificationIrp. */
typedef struct _OS_DEP_DATA {
  PDEVICE_OBJECT DeviceObject;
  PIRP CurrentIrp;
  PIRP NotificationIrp;
  KSPIN_LOCK SpinLock;
} OS_DEP_DATA, *POS_DEP_DATA;

/* Callback of a ReaderFunction slot. Like every routine the library exports,
 * it uses the kernel's calling convention (NTAPI). */
typedef NTSTATUS(NTAPI* PREADER_FUNCTION)(PSMARTCARD_EXTENSION SmartcardExtension);

/* The per-reader record shared by the driver and the library. */
typedef struct _SMARTCARD_EXTENSION {
  ULONG Version;
  VENDOR_ATTR VendorAttr;
  NTSTATUS(NTAPI* ReaderFunction[RDF_MAXIMUM])(PSMARTCARD_EXTENSION SmartcardExtension);
  SCARD_CARD_CAPABILITIES CardCapabilities;
  ULONG LastError; /* status of the last request, for IOCTL_SMARTCARD_GET_LAST_ERROR */
  struct {
    PULONG Information;   /* bytes returned to the caller */
    PUCHAR RequestBuffer; /* caller's input (after any header) */
    ULONG RequestBufferLength;
    PUCHAR ReplyBuffer; /* caller's output (after any header) */
    ULONG ReplyBufferLength;
  } IoRequest;
  ULONG MajorIoControlCode; /* control code of the request being served */
  ULONG MinorIoControlCode; /* power code, protocol mask or attribute tag */
  POS_DEP_DATA OsData;
  SCARD_READER_CAPABILITIES ReaderCapabilities;
  PREADER_EXTENSION ReaderExtension;
  SMARTCARD_REPLY SmartcardReply;
  SMARTCARD_REQUEST SmartcardRequest;
  T0_DATA T0;
  T1_DATA T1;
  PPERF_INFO PerfInfo;
  ULONG Reserved[25];
} SMARTCARD_EXTENSION;

/* Set-up and tear-down. */
NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);

/* The entry point for IRP_MJ_DEVICE_CONTROL. */
NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);

/* Remove lock: a failed acquire (STATUS_DELETE_PENDING) refuses the request. */
NTSTATUS NTAPI SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag);
VOID NTAPI SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag);
VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension);

/* Event log: Object is a device object or a driver object. */
VOID NTAPI SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion, ULONG DumpData);

/* Card parameters from CardCapabilities.ATR. */
NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);

/* Framing for the driver's transmit callback. */
NTSTATUS NTAPI SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension);

/* Converts bytes between the inverse and the direct convention, in place. */
VOID NTAPI SmartcardInvertData(PUCHAR Buffer, ULONG Length);

ULONG NTAPI SmartcardGetDebugLevel(void);
VOID NTAPI SmartcardSetDebugLevel(ULONG Level);

#ifdef __cplusplus
}
#endif

/* Debug output is compiled out; the trace of the platform shows the traffic. */
#define SmartcardDebug(LEVEL, STRING)

#endif /* _SMCLIB_ */
