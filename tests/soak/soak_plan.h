#pragma once
// One soak seed's plan: everything a whole reader life is made of, drawn from
// one 64-bit seed, so that the seed alone replays the life exactly. The
// card, the reader's misbehaviour, how the COM port completes its requests,
// how often the platform's fallible calls fail, and the operations that
// applications, the user's hands and the system's managers perform.

#include <serial/serial_port.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/knobs.h"

namespace tav712::soak {

enum class Op {
  open,       // an application opens the reader (a second open must be refused)
  close,      // ... and closes its handle
  coldReset,  // IOCTL_SMARTCARD_POWER
  warmReset,
  powerDown,
  setProtocol,   // T=0, T=1 or either
  apdu,          // IOCTL_SMARTCARD_TRANSMIT, of one of the four cases, for T=0 or T=1
  apduThenPull,  // an APDU left running while the card is pulled out
  getState,
  getAttribute,
  trackPresent,    // IS_PRESENT left pending
  trackAbsent,     // IS_ABSENT left pending
  cancelTracking,  // IoCancelIrp on the oldest pending request
  pullCard,
  insertCard,
  unplug,  // the reader's cable: DSR drops
  plug,
  stop,            // query-stop, stop, start
  remove,          // query-remove, remove, then add and start again
  surpriseRemove,  // surprise removal, remove, then add and start again
  sleep,           // system sleep, then wake
  idle,            // time passes
};
inline constexpr std::size_t opCount = static_cast<std::size_t>(Op::idle) + 1;
std::string_view opName(Op op);

struct Step {
  Op op;
  std::uint32_t value;  // the step's own draw: a delay, a protocol, an APDU case, a tag
};

struct Plan {
  std::uint64_t seed = 0;
  // The emulated card and reader, as the emulator's knob text.
  std::string knobText;
  emulator::EmulatorKnobs knobs;
  // How the COM port completes its requests, and the names of the knobs drawn.
  serial::SerialPortOptions port;
  std::vector<std::string> portKnobs;
  // The scheduler's late wake-ups (off when zero), as on a loaded machine.
  platform::Duration lateWakeupBound{};
  // Chance that a fallible platform call (pool, IRP, work item, ...) fails
  // while the steps run.
  double faultChance = 0;
  // Whether that chance covers every fallible call, or only the kinds whose
  // failures the driver is known to survive (see soakFaultKinds).
  bool allFaultKinds = false;
  std::vector<Step> steps;

  // The plan as people read it: one line of knobs, then the steps.
  std::string describe() const;
};

Plan drawPlan(std::uint64_t seed);

// The fallible calls a soak fails by default. Left out until the driver
// survives them: a request the receive worker cannot allocate or build (the
// bytes it should have read wait in the port, with a card event among them,
// until the reader sends again, or are purged). `soak --all-faults` includes
// them.
std::vector<std::string> soakFaultKinds();

}  // namespace tav712::soak
