// What the host programs share: option parsing with one-line usage errors,
// the bundle's default director key, and the exit convention of main (0 done,
// --help or --version, 2 usage, 1 failure, 130 stopped by SIGINT or SIGTERM).
// Outputs go through OutputFile, so a failure leaves no half-written file.
#pragma once

#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "stop_signal.h"
#include "tool_log.h"

namespace le::tool {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Walks the command line one argument at a time; value() takes the argument
// after the current one as its value.
class ArgWalk {
 public:
  ArgWalk(int argc, char** argv) : argc_(argc), argv_(argv) {}
  bool next() {
    if (++i_ >= argc_) return false;
    name_ = argv_[i_];
    return true;
  }
  const std::string& name() const { return name_; }
  std::string value() {
    if (i_ + 1 >= argc_) throw UsageError(name_ + " wants a value");
    return argv_[++i_];
  }
  // Arguments after the current one.
  int remaining() const { return argc_ - i_ - 1; }
  // "-x" or "--x"; "-" alone names standard input, not an option.
  bool isOption() const { return name_.size() > 1 && name_[0] == '-'; }

 private:
  int argc_;
  char** argv_;
  int i_ = 0;
  std::string name_;
};

// A whole number in [lo, hi]; anything else is a UsageError naming option.
int parseInt(std::string_view text, const char* option, int lo, int hi);

// Model keys that name a director for another road, not the default one: the
// whole-clip stream's "render" and the live pipeline's batch-24 chunk
// directors ("b24_...").
bool isRoleKey(const std::string& key);

// The key of the one model_<key>.onnx in a bundle directory that is not a
// role key; throws when there is none or several (the caller's --model
// chooses then).
std::string onlyModelKey(const std::string& dir);

// parse(argc, argv) gives the options or nullopt for --help; run(options)
// gives the exit status.
template <class Parse, class Run>
int hostMain(const char* tool, const char* usage, int argc, char** argv, Parse parse, Run run) {
  for (int i = 1; i < argc; ++i)
    if (std::string_view(argv[i]) == "--version") {
      std::printf("%s\n", versionLine(tool).c_str());
      return 0;
    }
  decltype(parse(argc, argv)) o;
  try {
    o = parse(argc, argv);
    if (!o) {
      std::fputs(usage, stdout);
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s (%s --help for usage)\n", tool, e.what(), tool);
    return 2;
  }
  installStopSignals();
  try {
    return run(*o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", tool, e.what());
    return 1;
  }
}

}  // namespace le::tool
