#pragma once
// The line below the COM port: what a line backend is to the serial port
// driver. The port's receive side is the line's host port.
//
// The driver models the UART itself: it paces outgoing bytes at the line
// speed and hands each byte to the backend at the instant its stop bit ends;
// the backend delivers each incoming byte at the instant its stop bit ends.
// A backend is chosen once, when the port is created: the in-process
// emulator or a scripted line on the virtual clock, or a real tty in real
// time.
//
// A backend calls the port's host port only from an interrupt context of the
// kernel's scheduler (a timer callback on the virtual clock, or an interrupt
// raised by the backend's own poller thread), never from a foreign thread
// directly.

#include <string>

#include "line/line.h"

namespace serial {

// Line settings and the time a character occupies on the line are the
// wire's own terms, the same at both ends of it.
using line::characterTime;
using line::LineSettings;

// The device at the far end of the port, as the port driver knows it.
class LineBackend : public line::LineDevice {
 public:
  // True when the line runs on the wall clock (a real device): the kernel's
  // clock must then run in real time.
  virtual bool realTime() const = 0;
  // A short name for traces and messages ("emulator", "/dev/ttyUSB0").
  virtual std::string name() const = 0;
};

}  // namespace serial
