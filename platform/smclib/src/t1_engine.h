// The T=1 block protocol as the interface device runs it: SmartcardT1Request
// builds the next block, SmartcardT1Reply consumes the card's answer.
#pragma once

#include <smclib.h>

namespace smclib {

// Puts the protocol into its state after an answer-to-reset: sequence
// numbers 0, IFSC from the ATR, IFSD 32 until negotiated, no command.
void t1ResetProtocol(SMARTCARD_EXTENSION& extension);

// Ends any command that a previous request left unfinished, so that the next
// SmartcardT1Request starts the command in IoRequest.
void t1PrepareCommand(SMARTCARD_EXTENSION& extension);

}  // namespace smclib
