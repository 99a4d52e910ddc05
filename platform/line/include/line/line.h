#pragma once
// The serial line between a host's port and the device at its far end (the
// emulated TAV712 reader, a scripted byte player, a real tty), and the clock
// both sides share.
//
// Each side models its own transmitter: the host calls
// LineDevice::byteFromHost() when a byte's stop bit has ended at the host's
// line speed; the device calls HostPort::byteReceived() when a byte it sends
// has ended at its own speed.

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>

namespace line {

using Nanoseconds = std::chrono::nanoseconds;

// Time and deferred actions, supplied by whoever hosts a device (the
// platform's virtual clock, a real-time loop, or a plain queue in tests).
class Timeline {
 public:
  virtual ~Timeline() = default;
  virtual Nanoseconds now() const = 0;
  // Runs action at the given instant (at once, in order, when it is already
  // past). Actions due at the same instant run in the order they were added.
  virtual void callAt(Nanoseconds when, std::function<void()> action) = 0;
};

// Line settings, in the encoding of the serial control requests:
// parity 0 none, 1 odd, 2 even, 3 mark, 4 space;
// stopBits 0 one, 1 one and a half, 2 two.
// The defaults are 19200 baud, 8 data bits, no parity, 1 stop bit.
struct LineSettings {
  std::uint32_t baudRate = 19200;
  std::uint8_t dataBits = 8;
  std::uint8_t parity = 0;
  std::uint8_t stopBits = 0;
  friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// Time one character occupies on the line: start bit, data bits, parity bit
// when there is one, stop bits (truncated to whole nanoseconds). 8N1 at 19200
// baud is 10 bits, 520833 ns.
constexpr Nanoseconds characterTime(const LineSettings& settings) {
  const std::uint64_t halfBits =
      2u * (1u + settings.dataBits + (settings.parity != 0 ? 1u : 0u)) + (settings.stopBits == 0   ? 2u
                                                                          : settings.stopBits == 1 ? 3u
                                                                                                   : 4u);
  const std::uint64_t baud = settings.baudRate == 0 ? 1 : settings.baudRate;
  return Nanoseconds(static_cast<std::int64_t>(halfBits * 500'000'000ull / baud));
}
static_assert(characterTime(LineSettings{}) == Nanoseconds(520833));

// The host end of the line, as the device sees it: the receive side of the
// host's port.
class HostPort {
 public:
  virtual ~HostPort() = default;
  // Called at the instant the byte's stop bit ends.
  virtual void byteReceived(std::uint8_t byte) = 0;
  // Bytes that arrived together (a real line hands over what the host read
  // at once): a port with a FIFO takes them as one event.
  virtual void bytesReceived(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) byteReceived(byte);
  }
  virtual void dsrChanged(bool asserted) = 0;
};

// The device at the far end of the host's serial line. The host connects its
// port, delivers whole bytes, and tells the device the settings its port
// uses (bytes at other settings than the device's arrive mangled).
class LineDevice {
 public:
  virtual ~LineDevice() = default;
  // Attaches the host end (nullptr detaches it). Bytes and DSR changes are
  // delivered only while a host port is connected.
  virtual void connect(HostPort* host) = 0;
  // The byte's stop bit has just ended at the host's settings.
  virtual void byteFromHost(std::uint8_t byte) = 0;
  // The host's port now runs at these settings; false when the line cannot
  // run at them (the host's request for them then fails).
  virtual bool applyLineSettings(const LineSettings& settings) = 0;
  // The device's DSR line as the host sees it.
  virtual bool dsr() const = 0;
};

}  // namespace line
