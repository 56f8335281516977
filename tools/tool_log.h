// How much a host program says on standard error: -q errors only; the
// default adds the library's warnings and the tool's own progress and
// summary; -v adds the library's info lines. The library's lines (FFmpeg's
// among them) arrive through its log sink, filtered by level here.
#pragma once

#include <functional>
#include <string>

namespace le::tool {

enum class Verbosity { Quiet, Normal, Verbose };

class ToolLog {
 public:
  // Installs the sink; `keep` (may be empty) sees every line first and
  // returns true for lines it keeps to itself.
  explicit ToolLog(Verbosity v, std::function<bool(int level, const char* line)> keep = {});
  ~ToolLog();
  ToolLog(const ToolLog&) = delete;
  ToolLog& operator=(const ToolLog&) = delete;

 private:
  static void line(int level, const char* text, void* user);
  Verbosity v_;
  std::function<bool(int, const char*)> keep_;
};

// "TOOL VERSION (le_core VERSION, onnxruntime VERSION, vector target NAME)".
std::string versionLine(const char* tool);

}  // namespace le::tool
