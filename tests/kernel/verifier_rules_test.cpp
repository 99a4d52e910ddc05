// One deliberately faulty mini-driver per I/O verifier rule: each drives the
// stack into the fault and the rule must fire. (The scheduler's own rules,
// IRQL, spin locks and events, are in sched_checks_test.)
#include <chrono>
#include <functional>

#include "kernel_test_support.h"

namespace kernel_test {
namespace {

using namespace std::chrono_literals;
namespace rule = platform::rule;

PDEVICE_OBJECT lowerOf(PDEVICE_OBJECT device) {
  return static_cast<mini::UpperExtension*>(device->DeviceExtension)->lowerDevice;
}

void complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Completes the request with success, as the faulty routines below do once
// their fault is done.
NTSTATUS succeed(PIRP irp) {
  complete(irp, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT leftDevice = nullptr;

// ---- Faulty dispatch routines --------------------------------------------

NTSTATUS NTAPI CompletesTwice(PDEVICE_OBJECT, PIRP irp) {
  complete(irp, STATUS_SUCCESS);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI CompletesWithPendingStatus(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  complete(irp, STATUS_PENDING);
  return STATUS_PENDING;
}

VOID NTAPI NeverCalledCancel(PDEVICE_OBJECT, PIRP) {}

NTSTATUS NTAPI CompletesWithCancelRoutineSet(PDEVICE_OBJECT, PIRP irp) {
  IoSetCancelRoutine(irp, NeverCalledCancel);
  return succeed(irp);
}

NTSTATUS NTAPI ReturnsPendingWithoutMarking(PDEVICE_OBJECT, PIRP irp) {
  complete(irp, STATUS_SUCCESS);
  return STATUS_PENDING;
}

NTSTATUS NTAPI DropsPending(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

NTSTATUS NTAPI ForwardsWithCompletionThatDropsPending(PDEVICE_OBJECT device, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, DropsPending, nullptr, TRUE, TRUE, TRUE);
  return IoCallDriver(lowerOf(device), irp);
}

NTSTATUS NTAPI ForwardsWithoutStackLocation(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = IoCallDriver(lowerOf(device), irp);
  complete(irp, status);
  return status;
}

NTSTATUS NTAPI CompletesWhileLowerHoldsIt(PDEVICE_OBJECT device, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  NTSTATUS status = IoCallDriver(lowerOf(device), irp);
  if (status == STATUS_PENDING) complete(irp, STATUS_SUCCESS);  // the lower driver still holds it
  return status;
}

NTSTATUS NTAPI ReportsMoreThanTheBuffer(PDEVICE_OBJECT, PIRP irp) {
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  complete(irp, STATUS_SUCCESS, length + 1);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ReleasesCancelLockNotHeld(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(PASSIVE_LEVEL);
  return succeed(irp);
}

NTSTATUS NTAPI CompletesUnderItsSpinLock(PDEVICE_OBJECT, PIRP irp) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  complete(irp, STATUS_SUCCESS);
  KeReleaseSpinLock(&lock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI CompletesUnderTheCancelSpinLock(PDEVICE_OBJECT, PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  complete(irp, STATUS_SUCCESS);
  IoReleaseCancelSpinLock(irql);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI WaitsOneMillisecond(PDEVICE_OBJECT, PIRP irp, PVOID) {
  LARGE_INTEGER oneMs;
  oneMs.QuadPart = -10000;
  KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ForwardsWithCompletionThatWaits(PDEVICE_OBJECT device, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, WaitsOneMillisecond, nullptr, TRUE, TRUE, TRUE);
  return IoCallDriver(lowerOf(device), irp);
}

// Takes a remove lock once and releases it twice, plainly or by
// release-and-wait.
template <bool andWait>
NTSTATUS NTAPI ReleasesRemoveLockTwice(PDEVICE_OBJECT, PIRP irp) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0, 0, 0);
  (void)IoAcquireRemoveLock(&lock, irp);
  for (int release = 0; release < 2; ++release) {
    if constexpr (andWait) {
      IoReleaseRemoveLockAndWait(&lock, irp);
    } else {
      IoReleaseRemoveLock(&lock, irp);
    }
  }
  return succeed(irp);
}

VOID NTAPI EmptyWork(PDEVICE_OBJECT, PVOID) {}

NTSTATUS NTAPI QueuesWorkItemTwice(PDEVICE_OBJECT device, PIRP irp) {
  PIO_WORKITEM item = IoAllocateWorkItem(device);
  IoQueueWorkItem(item, EmptyWork, DelayedWorkQueue, nullptr);
  IoQueueWorkItem(item, EmptyWork, DelayedWorkQueue, nullptr);
  IoFreeWorkItem(item);  // also too early: freed while queued
  return succeed(irp);
}

NTSTATUS NTAPI FreesPoolTwice(PDEVICE_OBJECT, PIRP irp) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554);
  ExFreePool(block);
  ExFreePool(block);
  return succeed(irp);
}

NTSTATUS NTAPI SendsAllocatedIrpWithoutCompletionRoutine(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = lowerOf(device);
  PIRP own = IoAllocateIrp(lower->StackSize, FALSE);
  IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_CLEANUP;
  IoCallDriver(lower, own);
  IoFreeIrp(own);
  return succeed(irp);
}

NTSTATUS NTAPI LeaksPool(PDEVICE_OBJECT, PIRP irp) {
  ExAllocatePoolWithTag(NonPagedPool, 24, 0x4C61654B);
  return succeed(irp);
}

NTSTATUS NTAPI PowerWithoutStartNext(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(lowerOf(device), irp);
}

NTSTATUS NTAPI PowerThroughIoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lowerOf(device), irp);
}

NTSTATUS NTAPI FailsSystemSetPower(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  if (location->MinorFunction == IRP_MN_SET_POWER && location->Parameters.Power.Type == SystemPowerState) {
    complete(irp, STATUS_UNSUCCESSFUL);
    return STATUS_UNSUCCESSFUL;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(lowerOf(device), irp);
}

NTSTATUS NTAPI RemoveWithoutDelete(PDEVICE_OBJECT device, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lowerOf(device), irp);
  }
  PDEVICE_OBJECT lower = lowerOf(device);
  irp->IoStatus.Status = STATUS_SUCCESS;
  leftDevice = device;  // the test deletes it afterwards
  auto* extension = static_cast<mini::UpperExtension*>(device->DeviceExtension);
  RtlFreeUnicodeString(&extension->interfaceName);
  IoDetachDevice(lower);
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

// Passes a query-stop down with the status the PnP manager gave it.
NTSTATUS NTAPI PassesPnpDownWithoutStatus(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lowerOf(device), irp);
}

// Completes a cancel-stop itself with an informational status.
NTSTATUS NTAPI EndsCancelWithInformationalStatus(PDEVICE_OBJECT, PIRP irp) {
  complete(irp, STATUS_OBJECT_NAME_EXISTS);
  return STATUS_OBJECT_NAME_EXISTS;
}

// Keeps a device-control request for itself and never completes it.
PIRP keptRequest = nullptr;
NTSTATUS NTAPI KeepsRequest(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  keptRequest = irp;
  return STATUS_PENDING;
}

NTSTATUS NTAPI AddDeviceLeavingInitialising(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
  PDEVICE_OBJECT device;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(mini::UpperExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  static_cast<mini::UpperExtension*>(device->DeviceExtension)->lowerDevice =
      IoAttachDeviceToDeviceStack(device, physicalDevice);
  return STATUS_SUCCESS;
}

// ---- The table --------------------------------------------------------------

class VerifierRuleTest;

struct RuleCase {
  const char* name;
  std::string_view rule;
  std::function<void(VerifierRuleTest&)> drive;
};

class VerifierRuleTest : public StackTest, public ::testing::WithParamInterface<RuleCase> {
 public:
  // Makes the upper driver's device-control dispatch the faulty one and
  // sends one request through it.
  void sendThrough(PDRIVER_DISPATCH faulty, ULONG outputLength = 0) {
    buildStack();
    upperDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = faulty;
    sendBuiltRequest(kBufferedIoctl, {}, outputLength);
  }
  void powerThrough(PDRIVER_DISPATCH faulty) {
    buildStack();
    upperDriver->MajorFunction[IRP_MJ_POWER] = faulty;
    system.power().setDevicePower(physicalDevice, PowerDeviceD3);
  }
};

// Drives one PnP request through a faulty PnP dispatch routine, which is
// then taken away again so that the stack can be removed.
std::function<void(VerifierRuleTest&)> pnpThrough(PDRIVER_DISPATCH faulty, UCHAR minorFunction) {
  return [=](VerifierRuleTest& t) {
    t.buildStack();
    PDRIVER_DISPATCH sound = t.upperDriver->MajorFunction[IRP_MJ_PNP];
    t.upperDriver->MajorFunction[IRP_MJ_PNP] = faulty;
    t.system.pnp().send(t.physicalDevice, minorFunction);
    t.upperDriver->MajorFunction[IRP_MJ_PNP] = sound;
  };
}

// The device is removed while the faulty driver keeps a request sent to it;
// the request is ended afterwards, as the test's own code.
void removeWhileARequestIsKept(VerifierRuleTest& t) {
  t.buildStack();
  t.upperDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = KeepsRequest;
  keptRequest = nullptr;
  auto requester = t.system.scheduler().spawn("request", [&t] { t.sendBuiltRequest(kBufferedIoctl, {}, 0); });
  t.system.scheduler().runUntilIdle();
  ASSERT_NE(keptRequest, nullptr);
  t.system.pnp().remove(t.physicalDevice);
  complete(keptRequest, STATUS_CANCELLED);
  t.system.scheduler().join(requester);
}

// Drives one request, or one device power request, through the faulty
// routine.
std::function<void(VerifierRuleTest&)> send(PDRIVER_DISPATCH faulty, ULONG outputLength = 0) {
  return [=](VerifierRuleTest& t) { t.sendThrough(faulty, outputLength); };
}
std::function<void(VerifierRuleTest&)> power(PDRIVER_DISPATCH faulty) {
  return [=](VerifierRuleTest& t) { t.powerThrough(faulty); };
}
// ... while the lower driver holds the request for 1 ms.
std::function<void(VerifierRuleTest&)> sendHeldBelow(PDRIVER_DISPATCH faulty) {
  return [=](VerifierRuleTest& t) {
    mini::lowerConfig.mode = mini::LowerMode::Pend;
    t.system.scheduler().callAfter(1ms, [] { mini::completeParked(STATUS_SUCCESS); });
    t.sendThrough(faulty);
  };
}
// ... and then unloads the drivers.
std::function<void(VerifierRuleTest&)> sendAndUnload(PDRIVER_DISPATCH faulty) {
  return [=](VerifierRuleTest& t) {
    t.sendThrough(faulty);
    t.removeAndUnload();
  };
}

const RuleCase kRuleCases[] = {
    {"CompletesTwice", rule::kCompleteOnce, send(CompletesTwice)},
    {"CompletesWithPendingStatus", rule::kNoPendingCompletion, send(CompletesWithPendingStatus)},
    {"CompletesWithCancelRoutineSet", rule::kCancelRoutineCleared, send(CompletesWithCancelRoutineSet)},
    {"ReturnsPendingWithoutMarking", rule::kDispatchReturn, send(ReturnsPendingWithoutMarking)},
    {"CompletionRoutineDropsPending", rule::kPendingPropagation, sendHeldBelow(ForwardsWithCompletionThatDropsPending)},
    {"CompletesWhileLowerHoldsIt", rule::kOwnerOnly, sendHeldBelow(CompletesWhileLowerHoldsIt)},
    {"ForwardsWithoutStackLocation", rule::kStackLocations, send(ForwardsWithoutStackLocation)},
    {"ReportsMoreThanTheBuffer", rule::kInformationBound, send(ReportsMoreThanTheBuffer, 4)},
    {"ReleasesCancelLockNotHeld", rule::kCancelSpinLock, send(ReleasesCancelLockNotHeld)},
    {"CompletesUnderItsSpinLock", rule::kNoCompleteUnderLock, send(CompletesUnderItsSpinLock)},
    {"CompletesUnderTheCancelSpinLock", rule::kNoCompleteUnderLock, send(CompletesUnderTheCancelSpinLock)},
    {"CompletionRoutineWaitsAtDispatchLevel", rule::kCompletionIrql, sendHeldBelow(ForwardsWithCompletionThatWaits)},
    {"ReleasesRemoveLockTwice", rule::kRemoveLockBalance, send(ReleasesRemoveLockTwice<false>)},
    {"ReleasesAndWaitsTwice", rule::kRemoveLockReleaseAndWait, send(ReleasesRemoveLockTwice<true>)},
    {"QueuesWorkItemTwice", rule::kWorkItems,
     [](auto& t) {
       t.sendThrough(QueuesWorkItemTwice);
       t.system.scheduler().runUntilIdle();
     }},
    {"FreesPoolTwice", rule::kDoubleFree, send(FreesPoolTwice)},
    {"SendsAllocatedIrpWithoutCompletionRoutine", rule::kAllocatedIrps,
     send(SendsAllocatedIrpWithoutCompletionRoutine)},
    {"PowerWithoutStartNext", rule::kStartNextPower, power(PowerWithoutStartNext)},
    {"PowerThroughIoCallDriver", rule::kPowerViaPoCallDriver, power(PowerThroughIoCallDriver)},
    {"FailsSystemSetPower", rule::kSystemSetPower,
     [](auto& t) {
       t.buildStack();
       t.upperDriver->MajorFunction[IRP_MJ_POWER] = FailsSystemSetPower;
       t.system.power().setSystemPower(t.physicalDevice, PowerSystemSleeping3);
     }},
    {"AddDeviceLeavesInitialising", rule::kInitialisingCleared,
     [](auto& t) {
       t.upperDriver->DriverExtension->AddDevice = AddDeviceLeavingInitialising;
       t.system.pnp().addDevice(t.upperDriver, t.physicalDevice);
       t.physicalDevice->AttachedDevice->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
     }},
    {"RemoveWithoutDelete", rule::kRemoveDeletes,
     [](auto& t) {
       t.buildStack();
       t.upperDriver->MajorFunction[IRP_MJ_PNP] = RemoveWithoutDelete;
       t.system.pnp().send(t.physicalDevice, IRP_MN_REMOVE_DEVICE);
       IoDeleteDevice(leftDevice);
     }},
    {"PassesPnpDownWithoutStatus", rule::kPnpStatus, pnpThrough(PassesPnpDownWithoutStatus, IRP_MN_QUERY_STOP_DEVICE)},
    {"EndsCancelWithInformationalStatus", rule::kPnpStatus,
     pnpThrough(EndsCancelWithInformationalStatus, IRP_MN_CANCEL_STOP_DEVICE)},
    {"DeletesDeviceWithARequestKept", rule::kDeleteIdle, removeWhileARequestIsKept},
    {"LeaksPoolAtUnload", rule::kNoLeaks, sendAndUnload(LeaksPool)},
};

TEST_P(VerifierRuleTest, FaultyDriverMakesTheRuleFire) {
  const RuleCase& c = GetParam();
  {
    platform::testing::ExpectViolation expect(system.verifier(), c.rule);
    c.drive(*this);
  }
  for (const auto& violation : system.verifier().violations(c.rule)) {
    EXPECT_FALSE(violation.thread.empty());
    EXPECT_FALSE(violation.object.empty());
  }
  removeAndUnload();
}

INSTANTIATE_TEST_SUITE_P(Rules, VerifierRuleTest, ::testing::ValuesIn(kRuleCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

// completion-irql is about the IRQL a lower driver calls the routine at: the
// same waiting routine called at PASSIVE_LEVEL (the lower driver completes in
// its dispatch routine) is silent, and at DISPATCH_LEVEL the wait is charged
// to the completion routine, not reported as a plain wait-irql.
TEST_F(StackTest, CompletionRoutineWaitIsChargedToTheRoutineOnlyAtDispatchLevel) {
  buildStack();
  upperDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ForwardsWithCompletionThatWaits;
  EXPECT_EQ(sendBuiltRequest(kBufferedIoctl, {}, 0).ioStatus.Status, STATUS_SUCCESS);
  EXPECT_FALSE(system.verifier().fired(rule::kCompletionIrql));

  mini::lowerConfig.mode = mini::LowerMode::Pend;
  system.scheduler().callAfter(1ms, [] { mini::completeParked(STATUS_SUCCESS); });
  {
    platform::testing::ExpectViolation expect(system.verifier(), rule::kCompletionIrql);
    EXPECT_EQ(sendBuiltRequest(kBufferedIoctl, {}, 0).ioStatus.Status, STATUS_SUCCESS);
  }
  const auto violations = system.verifier().violations(rule::kCompletionIrql);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations.front().detail.find("completion routine of upper#1"), std::string::npos)
      << violations.front().detail;
  EXPECT_FALSE(system.verifier().fired(rule::kWaitIrql));
  removeAndUnload();
}

}  // namespace
}  // namespace kernel_test
