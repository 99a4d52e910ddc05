#pragma once
// The handler's answers to pcscd: what each outcome of a request becomes as
// an IFD response code, per call. The one place where the driver's results
// meet pcsc-lite's codes.

// pcsc-lite declares the handler's entry points without C linkage.
extern "C" {
#include <PCSC/ifdhandler.h>
#include <PCSC/reader.h>
}

#include "reader_service.h"

namespace tav712::pcsc {

enum class IfdCall { createChannel, powerIcc, setProtocol, transmit, control, capability, presence };

RESPONSECODE ifdCodeFor(IfdCall call, Outcome outcome);

}  // namespace tav712::pcsc
