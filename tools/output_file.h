// Outputs that a failed or interrupted run never leaves half-written: each is
// written under a temporary name in its own directory and renamed into place
// once complete, so an existing file survives a failure. "-" names standard
// output and is never a file.
#pragma once

#include <string>

namespace le::tool {

// Throws std::runtime_error naming `what` and path when the file could not be
// created there: its directory is missing or not writable, or path is a
// directory, or "-" while standard output is a terminal. Called for every
// output before any work starts.
void checkOutputPath(const std::string& path, const char* what);

// The same for a directory that will receive files: an existing writable
// directory, or a name whose parent is one (the directory is made then).
void makeOutputDir(const std::string& dir, const char* what);

class OutputFile {
 public:
  // Checks path (checkOutputPath) and picks the temporary name.
  OutputFile(std::string path, const char* what);
  // Removes the temporary file unless it was committed.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool toStdout() const { return path_ == "-"; }
  // Where the writer writes: the temporary name ("-" for standard output).
  const std::string& writePath() const { return toStdout() ? path_ : temp_; }
  const std::string& path() const { return path_; }
  // Renames the finished temporary file onto the final name.
  void commit();

 private:
  std::string path_, temp_;
  bool committed_ = false;
};

// Writes bytes to path through a temporary name and a rename.
void writeFileAtomically(const std::string& path, const std::string& bytes, const char* what);

}  // namespace le::tool
