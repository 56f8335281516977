#include "progress.h"

#include <unistd.h>

namespace le::tool {

Progress::Progress(const char* tool, int total, bool quiet)
    : tool_(tool), total_(total), quiet_(quiet), tty_(isatty(STDERR_FILENO) == 1), start_(Clock::now()), last_(start_) {}

void Progress::update(int done) {
  if (quiet_) return;
  const Clock::time_point now = Clock::now();
  // A terminal redraws ten times a second; a log gets a line a second.
  const auto every = tty_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
  if (done < total_ && now - last_ < every) return;
  last_ = now;
  const double s = std::chrono::duration<double>(now - start_).count();
  const double fps = s > 0 ? done / s : 0.0;
  const double left = fps > 0 ? (total_ - done) / fps : 0.0;
  std::fprintf(stderr, "%s%s: %d/%d frames  %.1f fps  %.0f s left%s", tty_ ? "\r" : "", tool_, done, total_, fps,
               left, tty_ ? "   " : "\n");
  std::fflush(stderr);
  drawn_ = true;
}

void Progress::finish() {
  if (!quiet_ && tty_ && drawn_) std::fputc('\n', stderr);
  drawn_ = false;
}

}  // namespace le::tool
