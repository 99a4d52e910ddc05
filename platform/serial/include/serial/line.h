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

#include <cstdint>
#include <span>
#include <string>

#include "emulator/line.h"

namespace serial {

// Line settings and the time a character occupies on the line are the
// wire's own terms, the same at both ends of it.
using emulator::characterTime;
using emulator::LineSettings;

// The UART's receive side. A backend calls it only from an interrupt context
// of the kernel's scheduler (a timer callback on the virtual clock, or an
// interrupt raised by the backend's own poller thread), never from a foreign
// thread directly.
class LineReceiver {
 public:
  virtual void byteReceived(std::uint8_t byte) = 0;
  // Bytes that arrived together (a real line hands over what the device
  // read at once): one interrupt for all of them, as a UART with a FIFO
  // raises one for what its FIFO holds.
  virtual void bytesReceived(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) byteReceived(byte);
  }
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
