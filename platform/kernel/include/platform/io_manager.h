// The I/O manager's application face: what a program or a test does with a
// device, as an application would. Find the enabled interfaces of a class,
// open one (IRP_MJ_CREATE; exclusive devices take one handle at a time),
// send device-control requests synchronously or leave them pending, cancel
// them, clean up and close the handle. Requests use buffered I/O: the input
// is copied into a system buffer and min(Information, output length) bytes
// are copied back on success.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct IoResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::vector<std::uint8_t> output;  // the bytes copied back, Information of them at most
};

// A handle of an open device (an open file object).
struct Handle {
  std::uint64_t id = 0;
  explicit operator bool() const { return id != 0; }
};

struct OpenResult {
  NTSTATUS status;
  Handle handle;  // empty unless the open succeeded
};

// A device-control request running on its own request thread.
class PendingRequest {
 public:
  struct State;
  PendingRequest() = default;
  explicit PendingRequest(std::shared_ptr<State> state) : state_(std::move(state)) {}

  // True once the request has completed.
  bool done() const;
  // Waits (driving the system) until the request has completed.
  IoResult wait();
  // IoCancelIrp on the request while it is in flight; false when it was not
  // (finished, or never reached a driver) or had no cancel routine.
  bool cancel();

 private:
  std::shared_ptr<State> state_;
};

class IoManager {
 public:
  IoManager();
  ~IoManager();
  IoManager(const IoManager&) = delete;
  IoManager& operator=(const IoManager&) = delete;

  // Symbolic link names of the enabled interfaces of a class, in
  // registration order.
  std::vector<std::u16string> interfaces(const GUID& interfaceClass) const;
  // Whether the interface exists and is enabled.
  bool interfaceEnabled(std::u16string_view symbolicLink) const;

  // Opens an enabled interface: IRP_MJ_CREATE to the top of its device
  // stack. STATUS_OBJECT_NAME_NOT_FOUND for an unknown or disabled
  // interface; STATUS_ACCESS_DENIED when an exclusive device is open already.
  OpenResult open(std::u16string_view symbolicLink);

  // IRP_MJ_DEVICE_CONTROL, waiting for completion.
  IoResult deviceControl(Handle handle, ULONG ioControlCode, std::span<const std::uint8_t> input, ULONG outputLength);
  // The same on a request thread of its own; the caller goes on at once.
  PendingRequest deviceControlAsync(Handle handle, ULONG ioControlCode, std::vector<std::uint8_t> input,
                                    ULONG outputLength, std::string threadName = "application request");

  // IRP_MJ_CLEANUP (what closing the last user handle sends).
  NTSTATUS cleanup(Handle handle);
  // IRP_MJ_CLEANUP unless already sent; the handle is gone afterwards.
  // IRP_MJ_CLOSE follows at once, or, while requests sent on the handle are
  // under way, when the last of them ends (STATUS_SUCCESS is returned then).
  NTSTATUS close(Handle handle);

  struct OpenFile;

 private:
  OpenFile* find(Handle handle) const;
  // Shared with requests in flight, so that a handle closed under a pending
  // request leaves its file object alive until the request ends.
  std::map<std::uint64_t, std::shared_ptr<OpenFile>> files_;
  std::uint64_t nextHandle_ = 1;
};

}  // namespace platform
