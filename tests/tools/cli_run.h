// Runs a command line through the shell for the tool tests: exit status and
// what it wrote to standard output and standard error.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>

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

}  // namespace le::test
