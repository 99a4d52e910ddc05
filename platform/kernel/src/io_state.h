// The I/O manager's bookkeeping behind the WDM objects it hands to drivers:
// which driver and device objects, IRPs, pool blocks, work items, device
// interfaces and remove locks exist, who owns them and what state they are
// in. The verifier's IRP, resource and PnP rules read it.
//
// Every kernel call runs on a thread of the scheduler, one at a time, so the
// tables need no lock of their own.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct _IO_WORKITEM {
  PDEVICE_OBJECT DeviceObject;
};

namespace platform::io {

struct DriverRecord;

// A stack location never written since the IRP was allocated or since
// completion passed it. Forwarding into such a location means the driver
// skipped IoCopyCurrentIrpStackLocationToNext / IoSkipCurrentIrpStackLocation.
inline constexpr UCHAR kUnsetMajorFunction = 0xFF;

struct DriverRecord {
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  std::string name;
  std::u16string registryPath;
  std::u16string driverName;
  bool unloaded = false;
  std::uint64_t devicesCreated = 0;
};

struct DeviceRecord {
  DEVICE_OBJECT object{};
  DriverRecord* driver = nullptr;
  std::string name;           // display name: the device name, or driver#n
  std::u16string deviceName;  // the native name it was created with, if any
  std::unique_ptr<std::byte[]> extension;
  PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
  bool deleted = false;
  LONG kernelReferences = 0;  // keep the memory alive after IoDeleteDevice
  std::uint64_t openHandles = 0;
  // Power state as recorded with PoSetPowerState.
  DEVICE_POWER_STATE devicePowerState = PowerDeviceD0;
  SYSTEM_POWER_STATE systemPowerState = PowerSystemWorking;
};

enum class IrpOrigin {
  Allocated,   // IoAllocateIrp: the driver owns and frees it
  BuiltIoctl,  // IoBuildDeviceIoControlRequest: freed by the I/O manager
  System,      // the I/O, PnP and power managers' own requests
};

enum class IrpPhase {
  Idle,        // not sent yet, or handed back by STATUS_MORE_PROCESSING_REQUIRED
  Dispatched,  // sent down; a driver holds it
  Completing,  // IofCompleteRequest is walking up the stack
  Finished,    // completion reached the top
};

// What the verifier remembers of one stack location's last completion pass.
struct LevelRecord {
  std::uint64_t passes = 0;
  bool pendingAtPass = false;
  NTSTATUS statusAtPass = STATUS_SUCCESS;
};

struct IrpRecord {
  PIRP irp = nullptr;
  std::uint64_t id = 0;
  IrpOrigin origin = IrpOrigin::Allocated;
  DriverRecord* owner = nullptr;
  IrpPhase phase = IrpPhase::Idle;
  bool freed = false;
  bool freeRequested = false;  // IoFreeIrp from inside a completion routine
  bool viaPoCallDriver = false;
  // Completion routines running for this IRP, and how often its completion
  // has started: the owner a routine woke may complete the IRP again before
  // the routine has returned (it then must return
  // STATUS_MORE_PROCESSING_REQUIRED).
  int routinesRunning = 0;
  std::uint64_t completionStarts = 0;
  std::unique_ptr<std::byte[]> memory;
  std::vector<LevelRecord> levels;  // indexed by stack location number

  // Buffered I/O of built requests and application requests.
  std::unique_ptr<std::byte[]> systemBuffer;
  ULONG ioControlCode = 0;
  ULONG outputLength = 0;
  PVOID callerOutput = nullptr;
  bool copyBack = false;
  PKEVENT userEvent = nullptr;
  PIO_STATUS_BLOCK userIosb = nullptr;

  // Power IRPs: per receiving driver, how often it received the IRP and
  // how often it called PoStartNextPowerIrp.
  std::map<DriverRecord*, std::pair<int, int>> powerReceipts;
  bool isPower = false;

  // System requests: run once completion reaches the top, before the IRP is
  // freed.
  std::function<void(PIRP)> onFinished;
};

struct PoolBlock {
  std::size_t size = 0;
  ULONG tag = 0;
  DriverRecord* driver = nullptr;
};

struct WorkItemRecord {
  std::unique_ptr<IO_WORKITEM> item;
  DeviceRecord* device = nullptr;
  DriverRecord* driver = nullptr;
  std::uint64_t id = 0;
  bool queued = false;
  bool freeRequested = false;
};

struct InterfaceRecord {
  PDEVICE_OBJECT physicalDevice = nullptr;
  GUID classGuid{};
  std::u16string referenceString;
  std::u16string symbolicLink;
  bool enabled = false;
};

struct RemoveLockRecord {
  LONG holds = 0;
  bool releasedAndWaited = false;
  std::map<const void*, LONG> holdsByTag;
};

struct ErrorLogRecord {
  PVOID object = nullptr;
  std::size_t size = 0;
  std::unique_ptr<std::byte[]> memory;
};

// The running system's I/O state (or a process-wide one without a system).
class IoState {
 public:
  static IoState& current();
  static void install(IoState* state);

  IoState();
  ~IoState();
  IoState(const IoState&) = delete;
  IoState& operator=(const IoState&) = delete;

  DriverRecord* driver(const DRIVER_OBJECT* object);
  DeviceRecord* device(const DEVICE_OBJECT* object);  // live or deleted-but-referenced
  std::shared_ptr<IrpRecord> irp(const IRP* irp);     // live IRPs only
  std::optional<std::uint64_t> freedIrpId(const IRP* irp) const;

  std::string describe(const IRP* irp);
  std::string describe(const DEVICE_OBJECT* device);
  std::string describeObject(const void* object);  // driver, device or raw

  // Releases a device record's memory once deleted and unreferenced.
  void releaseDeviceIfUnused(DeviceRecord* device);
  // Moves an IRP to the freed list and gives its memory back.
  void freeIrp(const std::shared_ptr<IrpRecord>& record);

  std::map<const DRIVER_OBJECT*, std::unique_ptr<DriverRecord>> drivers;
  std::map<const DEVICE_OBJECT*, std::unique_ptr<DeviceRecord>> devices;
  std::map<const IRP*, std::shared_ptr<IrpRecord>> irps;
  std::map<const IRP*, std::uint64_t> freedIrps;
  std::map<const void*, PoolBlock> pool;
  std::map<const void*, ULONG> freedPool;
  std::map<const IO_WORKITEM*, std::unique_ptr<WorkItemRecord>> workItems;
  std::vector<InterfaceRecord> interfaces;
  std::map<const IO_REMOVE_LOCK*, RemoveLockRecord> removeLocks;
  std::map<const void*, ErrorLogRecord> errorLogEntries;
  // Every PoSetPowerState call, in order: device, type, state.
  struct RecordedPowerState {
    std::string device;
    POWER_STATE_TYPE type;
    ULONG state;
  };
  std::vector<RecordedPowerState> recordedPowerStates;

  KSPIN_LOCK cancelLock = 0;
  const void* cancelLockHolder = nullptr;  // kernelThreadIdentity() of the holder

  std::uint64_t nextIrpId = 1;
  std::uint64_t nextWorkItemId = 1;
  std::uint64_t nextPhysicalIndex = 1;
};

// What kernel-called driver code is running on this thread: the frames let
// the kernel attribute allocations to a driver and check routine protocol.
enum class FrameKind { DriverEntry, AddDevice, Unload, Dispatch, Completion, Cancel, WorkItem, PowerCompletion };

struct Frame {
  FrameKind kind;
  DriverRecord* driver;
  PDEVICE_OBJECT device;
  PIRP irp;
  bool lowerReturnedPending = false;
};

// One frame on the running kernel thread's chain, innermost first.
class FrameScope {
 public:
  FrameScope(FrameKind kind, DriverRecord* driver, PDEVICE_OBJECT device = nullptr, PIRP irp = nullptr);
  ~FrameScope();
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;
  Frame& frame() { return frame_; }

  // The running kernel thread's innermost frame, or null.
  static FrameScope* innermost();
  FrameScope* outer() const { return outer_; }

 private:
  Frame frame_;
  FrameScope* outer_;
};

// The driver whose code runs on this thread (null outside driver code).
DriverRecord* currentDriver();
// The innermost frame of a kind on this thread, if any.
Frame* innermostFrame(FrameKind kind);

std::string majorFunctionName(UCHAR majorFunction);
std::string minorFunctionName(UCHAR majorFunction, UCHAR minorFunction);
std::string statusName(NTSTATUS status);
std::string toUtf8(std::u16string_view text);
std::u16string toUtf16(std::string_view text);
std::string hex32(ULONG value);

// The PnP minor codes that every driver of a stack handles and passes down
// with IoStatus.Status set (pnp-status): query, cancel and the change itself
// for stop and removal, and surprise removal. A start is the bus driver's to
// succeed; other codes go down with the status they came with.
bool pnpStatusRequired(UCHAR minorFunction);
// Those of them that no driver may fail: the cancels, stop, removal and
// surprise removal.
bool pnpMustSucceed(UCHAR minorFunction);
// A success status that is not informational (severity 0).
inline bool plainSuccess(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 0; }

// Creates a driver object named `name` (its DriverName is \Driver\name).
DriverRecord* createDriver(std::string_view name);
// Reports what a driver left behind at unload: devices, pool, IRPs, work
// items, interface names, remove-lock holds.
void checkDriverLeftNothing(DriverRecord* driver);
// Reports a device about to be deleted while requests sent to it are still
// outstanding (delete-idle).
void checkDeviceIdle(IoState& state, DeviceRecord* device);
// The device at the top of the stack that `device` belongs to.
PDEVICE_OBJECT topOfStack(PDEVICE_OBJECT device);

// Fills the next stack location of `record`'s IRP as a device-control
// request, with a system buffer for the buffered (and direct) methods whose
// output is copied back to `OutputBuffer` when the request finishes.
void setUpDeviceControl(IrpRecord& record, ULONG IoControlCode, const void* InputBuffer, ULONG InputBufferLength,
                        PVOID OutputBuffer, ULONG OutputBufferLength, bool InternalDeviceIoControl);

// Sends an IRP down (shared by IofCallDriver and PoCallDriver).
NTSTATUS callDriver(PDEVICE_OBJECT deviceObject, PIRP irp, bool viaPoCallDriver);
// Allocates a request the kernel itself sends (not fault-injected).
PIRP allocateIrp(CCHAR stackSize, IrpOrigin origin, DriverRecord* owner);

}  // namespace platform::io
