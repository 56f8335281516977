// Runs a command line through the shell for the tool tests: exit status and
// what it wrote to standard output and standard error.
#pragma once

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testkit/testkit.h"

namespace le::test {

struct Cmd {
  int status = -1;
  std::string out, err;
};

// s single-quoted for the shell.
inline std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Output files go to tmp.
inline Cmd run(const TempDir& tmp, const std::string& cmd) {
  const std::string o = tmp / "cmd.out", e = tmp / "cmd.err";
  const int r = std::system((cmd + " > " + quote(o) + " 2> " + quote(e)).c_str());
  Cmd res;
  res.status = WIFEXITED(r) ? WEXITSTATUS(r) : -1;
  res.out = exists(o) ? readFile(o) : "";
  res.err = exists(e) ? readFile(e) : "";
  return res;
}

// Runs cmd in the background and sends it SIG<sig> once its temporary output
// part<pid> holds 20 kB (waiting up to a minute), so the signal falls mid-run
// however loaded the machine; "status=<exit status>" follows on stdout.
inline Cmd signalMidRun(const TempDir& tmp, const std::string& cmd, const std::string& part, const std::string& sig) {
  return run(tmp, "(" + cmd + " & p=$!; for i in $(seq 300); do s=$(stat -c %s " + quote(part) +
                      "$p 2>/dev/null || echo 0); [ \"$s\" -gt 20000 ] && break; sleep 0.2; done; kill -" + sig +
                      " $p; wait $p; echo status=$?)");
}

// ffprobe's csv lines of `entries` ("stream=codec_name,...") for the streams
// `select` picks ("" for all), frames counted by decoding.
inline std::string ffprobe(const TempDir& tmp, const std::string& file, const std::string& entries, const std::string& select = "") {
  return run(tmp, "ffprobe -v error " + (select.empty() ? "" : "-select_streams " + select + " ") + "-count_frames -show_entries " +
                      entries + " -of csv=p=0 " + quote(file)).out;
}

// The RMS of samples [from, to) of s, clipped to its end.
template <class T>
double rms(const std::vector<T>& s, size_t from, size_t to) {
  double e = 0;
  for (size_t i = from; i < std::min(to, s.size()); ++i) e += double(s[i]) * s[i];
  return std::min(to, s.size()) > from ? std::sqrt(e / double(std::min(to, s.size()) - from)) : 0;
}

// The "key: value" lines of a tool's run report; empty when there is none.
inline std::map<std::string, std::string> readReport(const std::string& path) {
  std::map<std::string, std::string> r;
  std::istringstream text(exists(path) ? readFile(path) : "");
  for (std::string line; std::getline(text, line);)
    if (const size_t colon = line.find(": "); colon != std::string::npos) r[line.substr(0, colon)] = line.substr(colon + 2);
  return r;
}

}  // namespace le::test
