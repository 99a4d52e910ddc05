#pragma once
// The line below the COM port: what a line backend is to the serial port
// driver, and what the driver's receive side is to a backend.
//
// The driver models the UART itself: it paces outgoing bytes at the line
// speed and hands each byte to the backend at the instant its stop bit ends;
// the backend delivers each incoming byte at the instant its stop bit ends.
// A backend is chosen once, when the port is created: the in-process
// emulator or a scripted line on the virtual clock, or a real tty in real
// time.

#include <chrono>
#include <cstdint>
#include <string>

namespace serial {

// Line settings in the encoding of the serial control requests:
// parity 0 none, 1 odd, 2 even, 3 mark, 4 space; stopBits 0 one, 1 one and a
// half, 2 two.
struct LineSettings {
  std::uint32_t baudRate = 19200;
  std::uint8_t dataBits = 8;
  std::uint8_t parity = 0;
  std::uint8_t stopBits = 0;
  friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// Time one character occupies on the line: start bit, data bits, parity bit
// when there is one, stop bits (truncated to whole nanoseconds). 8N1 at
// 19200 baud is 10 bits, 520833 ns.
constexpr std::chrono::nanoseconds characterTime(const LineSettings& settings) {
  const std::uint64_t halfBits = 2u * (1u + settings.dataBits + (settings.parity != 0 ? 1u : 0u)) +
                                 (settings.stopBits == 0 ? 2u : settings.stopBits == 1 ? 3u : 4u);
  const std::uint64_t baud = settings.baudRate == 0 ? 1 : settings.baudRate;
  return std::chrono::nanoseconds(static_cast<std::int64_t>(halfBits * 500'000'000ull / baud));
}
static_assert(characterTime(LineSettings{}) == std::chrono::nanoseconds(520833));

// The UART's receive side. A backend calls it only from an interrupt context
// of the kernel's scheduler (a timer callback on the virtual clock, or an
// interrupt raised by the backend's own poller thread), never from a foreign
// thread directly.
class LineReceiver {
 public:
  virtual void byteReceived(std::uint8_t byte) = 0;
  virtual void dsrChanged(bool asserted) = 0;

 protected:
  ~LineReceiver() = default;
};

class LineBackend {
 public:
  virtual ~LineBackend() = default;
  // Connects the port's receive side (nullptr disconnects it). Bytes and DSR
  // changes are delivered only while a receiver is connected.
  virtual void attach(LineReceiver* receiver) = 0;
  // The byte's stop bit has just ended at the port's settings.
  virtual void transmit(std::uint8_t byte) = 0;
  // Applies the port's settings to the line; false when the line cannot run
  // at them (the control request that asked for them then fails).
  virtual bool applyLineSettings(const LineSettings& settings) = 0;
  virtual bool dsr() const = 0;
  // True when the line runs on the wall clock (a real device): the kernel's
  // clock must then run in real time.
  virtual bool realTime() const = 0;
  // A short name for traces and messages ("emulator", "/dev/ttyUSB0").
  virtual std::string name() const = 0;
};

}  // namespace serial
