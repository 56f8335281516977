// Speech input of the host programs: a 16 kHz mono 16-bit PCM WAV file read
// in blocks, or raw 16 kHz s16le samples from a stream as they arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace le::tool {

inline constexpr int kSpeechRate = 16000;

// A RIFF/WAVE file holding 16 kHz mono 16-bit PCM (plain or
// WAVE_FORMAT_EXTENSIBLE), read as a stream: the header is walked when it is
// opened and samples are then read in blocks, so nothing but a block is ever
// held, whatever the file or the device behind the name. Any other format is
// refused with a message that names what the file holds and how to convert
// it; a truncated data chunk keeps the whole samples present. Throws
// std::runtime_error.
class WavStream {
 public:
  explicit WavStream(const std::string& path);
  // Over `in` (not closed), reported under `name`.
  WavStream(std::FILE* in, const std::string& name);
  ~WavStream();
  WavStream(const WavStream&) = delete;
  WavStream& operator=(const WavStream&) = delete;
  // Up to n samples; 0 at the end of the data.
  size_t read(int16_t* out, size_t n);

 private:
  void walkHeader();
  std::FILE* in_ = nullptr;
  bool owned_ = false;
  std::string name_;
  uint64_t left_ = 0;  // data bytes the chunk still declares (or unbounded)
};

// The whole data of a WAV given as bytes, or read from path; the latter
// refuses a file of more than maxSamples ("audio <path> is too long") as soon
// as it passes the bound, never reading past it.
std::vector<int16_t> parseWav(std::string_view bytes, const std::string& name);
std::vector<int16_t> readWav(const std::string& path, size_t maxSamples);

// Reads up to n samples of raw little-endian s16 from `in`, blocking until n
// arrive or the stream ends; 0 at the end. A dangling odd byte at the end is
// dropped.
size_t readRawSamples(std::FILE* in, int16_t* out, size_t n);

}  // namespace le::tool
