#pragma once
// The program's commands. Each takes the parsed options and a reporter and
// returns normally on success; failures are thrown as ToolError.

#include "options.h"
#include "reporter.h"

namespace tav712 {

void runStatus(const Options& options, Reporter& reporter);
void runWait(const Options& options, Reporter& reporter);
void runAtr(const Options& options, Reporter& reporter);
void runProtocol(const Options& options, Reporter& reporter);
void runApdu(const Options& options, Reporter& reporter);
void runScript(const Options& options, Reporter& reporter);
void runAttributes(const Options& options, Reporter& reporter);
void runVersion(const Options& options, Reporter& reporter);
void runTrace(const Options& options, Reporter& reporter);
void runDemo(const Options& options, Reporter& reporter);
// Runs until interrupted; prints the pseudo-terminal's path first.
void runEmulate(const Options& options, Reporter& reporter);

}  // namespace tav712
