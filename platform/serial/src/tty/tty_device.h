#pragma once
// A POSIX terminal device opened as a raw serial line: the file descriptor,
// its termios settings and its modem lines. Pure POSIX; knows nothing of the
// kernel.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "serial/line.h"

namespace serial::tty {

class TtyDevice {
 public:
  // Opens the device for reading and writing, non-blocking, without making
  // it the controlling terminal. Throws std::system_error when it cannot.
  static TtyDevice open(const std::string& path);

  TtyDevice(TtyDevice&& other) noexcept;
  TtyDevice& operator=(TtyDevice&& other) noexcept;
  TtyDevice(const TtyDevice&) = delete;
  TtyDevice& operator=(const TtyDevice&) = delete;
  ~TtyDevice();

  // Raw mode at the given settings: no echo, no line editing, no character
  // translation, no flow control, the receiver on, modem control lines
  // ignored for opening. False when the speed or framing is not available.
  bool configure(const LineSettings& settings);

  // Writes what the device takes now; returns the count written (0 when its
  // output buffer is full). A hang-up or error also gives 0.
  std::size_t writeSome(std::span<const std::uint8_t> bytes);
  // Reads what is waiting; returns the count (0 when nothing waits), or
  // nothing when the far end hung up or the device failed.
  std::optional<std::size_t> readSome(std::span<std::uint8_t> bytes);

  // The DSR modem line, or nothing when the device has no modem lines (a
  // pseudo-terminal).
  std::optional<bool> dsr() const;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  TtyDevice(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::string path_;
};

// The termios speed constant for a baud rate, or nothing for a rate the
// terminal interface cannot express.
std::optional<unsigned> termiosSpeed(std::uint32_t baudRate);

}  // namespace serial::tty
