// Speech for the live page: a sentence synthesised by espeak-ng, or a WAV
// body a viewer uploaded, as 16 kHz mono samples (both through the WAV
// reader, which resamples whatever rate the file has).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace le::tool {

// A private file in $TMPDIR (else /tmp), removed when this goes.
class ScratchFile {
 public:
  explicit ScratchFile(const char* stem);
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  const std::string& path() const { return path_; }
  // Replaces the file's content; throws std::runtime_error on a short write.
  void write(std::string_view bytes);

 private:
  std::string path_;
  int fd_ = -1;
};

// Runs `program` (looked up on PATH) with the text as one argument and reads
// the WAV it writes; throws std::runtime_error when it cannot start, fails,
// takes more than 30 s or writes no speech.
std::vector<int16_t> synthesiseSpeech(const std::string& program, const std::string& text);

// The samples of a WAV file held in memory; throws std::runtime_error naming
// what is wrong with it.
std::vector<int16_t> decodeWavBody(std::string_view body);

}  // namespace le::tool
