// SIGINT and SIGTERM ask a run to stop: the tools finish what they have
// written so far (a playable video, a report marked interrupted) and exit with
// status 130. A second signal ends the process at once.
#pragma once

namespace le::tool {

inline constexpr int kInterruptedStatus = 130;

// Installs the handlers; also ignores SIGPIPE, so that a closed standard
// output shows up as a write error instead of killing the process.
void installStopSignals();

// The signal that asked to stop, 0 while none has.
int stopSignal();

// "SIGINT", "SIGTERM" or "signal N".
const char* signalName(int sig);

}  // namespace le::tool
