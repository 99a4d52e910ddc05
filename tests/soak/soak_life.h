#pragma once
// Runs one soak plan as a whole reader life on the reader stack that the
// programs use (kernel, COM port, emulated reader, the driver loaded by the
// PnP manager), reaching the driver only as applications and the system's
// managers do, and checks what must hold after any life:
//  - the verifier saw nothing (an IRP completed once, IRQL and lock rules,
//    no leak at the driver's unload, ...), and nothing deadlocked;
//  - every request ended, none later than its bound of virtual time;
//  - a second handle on the exclusive reader is refused; a transmission that
//    succeeded carries an answer;
//  - the card state reported agrees with the emulated slot once events
//    settle;
//  - liveness: with the faults stopped, a reader on a fresh port powers a
//    card up and exchanges an APDU.

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "soak_plan.h"

namespace tav712::soak {

struct LifeResult {
  std::vector<std::string> failures;
  // Operations done, by name, and faults injected, by kind: fallible
  // platform calls ("call <function>"), the emulator's knobs ("card <knob>")
  // and the port's ("port <knob>").
  std::map<std::string, std::uint64_t> operations;
  std::map<std::string, std::uint64_t> faults;
  // The kernel trace's last lines, kept when the life failed.
  std::string traceTail;
  bool passed() const { return failures.empty(); }
};

// `log`, when given, receives each step with its outcome.
LifeResult live(const Plan& plan, std::ostream* log = nullptr);

// The line that replays a seed.
std::string replayLine(std::uint64_t seed);

}  // namespace tav712::soak
