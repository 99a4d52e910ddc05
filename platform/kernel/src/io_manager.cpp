// The I/O manager's application face: interfaces, handles and requests.
#include <platform/io_manager.h>
#include <platform/scheduler.h>
#include <platform/trace.h>

#include <algorithm>

#include "system_requests.h"

namespace platform {

using namespace io;

struct IoManager::OpenFile {
  std::unique_ptr<FILE_OBJECT> file;
  PDEVICE_OBJECT physicalDevice = nullptr;
  std::string name;
  bool cleanedUp = false;
  // Requests sent on the file that have not ended. Each holds a reference to
  // the file object, so IRP_MJ_CLOSE waits for the last of them.
  unsigned outstanding = 0;
  bool handleClosed = false;
};

struct PendingRequest::State {
  IoResult result;
  bool finished = false;
  PIRP inFlight = nullptr;
  ThreadHandle thread;
};

namespace {

constexpr ULONG kFileOpenDisposition = 1;  // FILE_OPEN

// One request on an open file, waited for.
IoResult sendOnFile(IoManager::OpenFile& open, UCHAR majorFunction, ULONG ioControlCode,
                    std::span<const std::uint8_t> input, ULONG outputLength,
                    const std::function<void(PIRP)>& inFlight = {}) {
  IoResult result;
  result.output.resize(outputLength);
  SystemRequest request;
  request.target = open.physicalDevice;
  request.initialStatus = STATUS_SUCCESS;
  request.inFlight = inFlight;
  request.setUp = [&](IrpRecord& record, PIO_STACK_LOCATION location) {
    if (majorFunction == IRP_MJ_DEVICE_CONTROL) {
      setUpDeviceControl(record, ioControlCode, input.data(), static_cast<ULONG>(input.size()),
                         outputLength > 0 ? result.output.data() : nullptr, outputLength, false);
    } else {
      location->MajorFunction = majorFunction;
    }
    if (majorFunction == IRP_MJ_CREATE) {
      location->Parameters.Create.Options = kFileOpenDisposition << 24;
      record.irp->Flags |= IRP_CREATE_OPERATION;
    }
    if (majorFunction == IRP_MJ_CLOSE) record.irp->Flags |= IRP_CLOSE_OPERATION;
    record.irp->Flags |= IRP_SYNCHRONOUS_API;
    record.irp->RequestorMode = UserMode;
    record.irp->Tail.Overlay.OriginalFileObject = open.file.get();
    location->FileObject = open.file.get();
  };
  RequestResult outcome = sendAndWait(request);
  result.status = outcome.status;
  result.information = outcome.information;
  if (NT_ERROR(outcome.status))
    result.output.clear();
  else
    result.output.resize(std::min<ULONG_PTR>(outcome.information, outputLength));
  return result;
}

// IRP_MJ_CLOSE: the file object's last reference is gone.
NTSTATUS sendClose(IoManager::OpenFile& open) {
  NTSTATUS status = sendOnFile(open, IRP_MJ_CLOSE, 0, {}, 0).status;
  if (DeviceRecord* physical = IoState::current().device(open.physicalDevice))
    if (physical->openHandles > 0) --physical->openHandles;
  return status;
}

// A request's reference to its file object, from send to end. The last one
// to go after the handle was closed sends IRP_MJ_CLOSE.
class FileReference {
 public:
  explicit FileReference(std::shared_ptr<IoManager::OpenFile> open) : open_(std::move(open)) { ++open_->outstanding; }
  ~FileReference() {
    if (--open_->outstanding == 0 && open_->handleClosed) sendClose(*open_);
  }
  FileReference(const FileReference&) = delete;
  FileReference& operator=(const FileReference&) = delete;
  IoManager::OpenFile& file() const { return *open_; }

 private:
  std::shared_ptr<IoManager::OpenFile> open_;
};

const InterfaceRecord* findInterface(std::u16string_view symbolicLink) {
  for (const auto& registered : IoState::current().interfaces)
    if (registered.symbolicLink == symbolicLink) return &registered;
  return nullptr;
}

}  // namespace

bool PendingRequest::done() const { return state_ && state_->finished; }

IoResult PendingRequest::wait() {
  if (!state_) return {};
  if (!state_->finished) Scheduler::get().join(state_->thread);
  return state_->result;
}

bool PendingRequest::cancel() {
  if (!state_ || state_->finished || state_->inFlight == nullptr) return false;
  return IoCancelIrp(state_->inFlight) != FALSE;
}

IoManager::IoManager() = default;
IoManager::~IoManager() = default;

std::vector<std::u16string> IoManager::interfaces(const GUID& interfaceClass) const {
  std::vector<std::u16string> links;
  for (const auto& registered : IoState::current().interfaces)
    if (registered.enabled && IsEqualGUID(registered.classGuid, interfaceClass))
      links.push_back(registered.symbolicLink);
  return links;
}

bool IoManager::interfaceEnabled(std::u16string_view symbolicLink) const {
  const InterfaceRecord* registered = findInterface(symbolicLink);
  return registered != nullptr && registered->enabled;
}

OpenResult IoManager::open(std::u16string_view symbolicLink) {
  auto& state = IoState::current();
  const InterfaceRecord* registered = findInterface(symbolicLink);
  if (registered == nullptr || !registered->enabled) return {STATUS_OBJECT_NAME_NOT_FOUND, {}};
  PDEVICE_OBJECT physicalDevice = registered->physicalDevice;
  DeviceRecord* physical = state.device(physicalDevice);
  if (physical == nullptr || physical->deleted) return {STATUS_OBJECT_NAME_NOT_FOUND, {}};
  bool exclusive = false;
  for (PDEVICE_OBJECT device = physicalDevice; device != nullptr; device = device->AttachedDevice)
    exclusive = exclusive || (device->Flags & DO_EXCLUSIVE) != 0;
  if (exclusive && physical->openHandles > 0) {
    Trace::current().add(TraceCategory::Irp, "open " + toUtf8(symbolicLink) + " refused: exclusive device in use");
    return {STATUS_ACCESS_DENIED, {}};
  }

  auto open = std::make_shared<OpenFile>();
  open->file = std::make_unique<FILE_OBJECT>();
  open->file->Type = IO_TYPE_FILE;
  open->file->Size = static_cast<CSHORT>(sizeof(FILE_OBJECT));
  open->file->DeviceObject = physicalDevice;
  open->physicalDevice = physicalDevice;
  open->name = toUtf8(symbolicLink);
  ++physical->openHandles;  // counted from the create on, as the I/O manager does
  IoResult created = sendOnFile(*open, IRP_MJ_CREATE, 0, {}, 0);
  if (!NT_SUCCESS(created.status)) {
    --physical->openHandles;
    return {created.status, {}};
  }
  Handle handle{nextHandle_++};
  files_[handle.id] = std::move(open);
  return {created.status, handle};
}

IoManager::OpenFile* IoManager::find(Handle handle) const {
  auto found = files_.find(handle.id);
  return found == files_.end() ? nullptr : found->second.get();
}

IoResult IoManager::deviceControl(Handle handle, ULONG ioControlCode, std::span<const std::uint8_t> input,
                                  ULONG outputLength) {
  auto found = files_.find(handle.id);
  if (found == files_.end()) return {STATUS_INVALID_HANDLE, 0, {}};
  FileReference reference(found->second);
  return sendOnFile(reference.file(), IRP_MJ_DEVICE_CONTROL, ioControlCode, input, outputLength);
}

PendingRequest IoManager::deviceControlAsync(Handle handle, ULONG ioControlCode, std::vector<std::uint8_t> input,
                                             ULONG outputLength, std::string threadName) {
  auto state = std::make_shared<PendingRequest::State>();
  auto found = files_.find(handle.id);
  std::shared_ptr<OpenFile> open = found == files_.end() ? nullptr : found->second;
  if (open == nullptr) {
    state->result.status = STATUS_INVALID_HANDLE;
    state->finished = true;
    return PendingRequest(state);
  }
  // The reference is taken now: a close right after this call must find
  // the request under way.
  auto reference = std::make_shared<FileReference>(std::move(open));
  state->thread = Scheduler::get().spawn(
      std::move(threadName), [state, reference, ioControlCode, input = std::move(input), outputLength]() mutable {
        state->result = sendOnFile(reference->file(), IRP_MJ_DEVICE_CONTROL, ioControlCode, input, outputLength,
                                   [state](PIRP irp) { state->inFlight = irp; });
        reference.reset();
        state->finished = true;
      });
  return PendingRequest(state);
}

NTSTATUS IoManager::cleanup(Handle handle) {
  OpenFile* open = find(handle);
  if (open == nullptr) return STATUS_INVALID_HANDLE;
  open->cleanedUp = true;
  return sendOnFile(*open, IRP_MJ_CLEANUP, 0, {}, 0).status;
}

// As CloseHandle: the handle is gone at once; IRP_MJ_CLOSE follows when no
// request sent on the file is still under way (the request that ends last
// sends it), as each holds a reference to the file object.
NTSTATUS IoManager::close(Handle handle) {
  auto found = files_.find(handle.id);
  if (found == files_.end()) return STATUS_INVALID_HANDLE;
  std::shared_ptr<OpenFile> open = found->second;
  if (!open->cleanedUp) cleanup(handle);
  files_.erase(found);
  open->handleClosed = true;
  if (open->outstanding > 0) {
    Trace::current().add(TraceCategory::Irp, "close of " + open->name + " waits for " +
                                                 std::to_string(open->outstanding) + " request(s) under way");
    return STATUS_SUCCESS;
  }
  return sendClose(*open);
}

}  // namespace platform
