// Speech input of the host programs: any audio file FFmpeg reads (WAV of any
// rate and sample format, FLAC, MP3, AAC in MP4, ...; any channel count),
// decoded and resampled to 16 kHz mono 16-bit as it is read, or raw 16 kHz
// s16le samples from a stream as they arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace le::tool {

inline constexpr int kSpeechRate = 16000;
// An hour of speech bounds what a whole file may decode to.
inline constexpr size_t kMaxSpeechSamples = size_t(3600) * kSpeechRate;

// A speech file decoded block by block: only a packet's worth of samples is
// held, whatever the length of the file. Only regular files are opened (a
// FIFO or a device would keep the demuxer waiting). Throws
// std::runtime_error naming the file and the reason.
class SpeechStream {
 public:
  explicit SpeechStream(const std::string& path);
  ~SpeechStream();
  SpeechStream(const SpeechStream&) = delete;
  SpeechStream& operator=(const SpeechStream&) = delete;
  // Up to n samples (16 kHz mono); 0 at the end.
  size_t read(int16_t* out, size_t n);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The whole file, refused past kMaxSpeechSamples ("audio <path> is longer
// than an hour of speech") as soon as it passes the bound.
std::vector<int16_t> readSpeech(const std::string& path);

// Reads up to n samples of raw little-endian s16 from `in`, blocking until n
// arrive or the stream ends; 0 at the end. A dangling odd byte at the end is
// dropped.
size_t readRawSamples(std::FILE* in, int16_t* out, size_t n);

}  // namespace le::tool
