#include "stop_signal.h"

#include <signal.h>

#include <atomic>

namespace le::tool {
namespace {

std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");

void onStop(int sig) { g_stop.store(sig); }

}  // namespace

void installStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = onStop;
  sigemptyset(&sa.sa_mask);
  // The first signal is ours; the next one takes the default action.
  sa.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int stopSignal() { return g_stop.load(); }

const char* signalName(int sig) {
  switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "a signal";
  }
}

}  // namespace le::tool
