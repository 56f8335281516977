// H.264 MP4 writer for RGB24 frames: libx264 (or FFmpeg's default H.264
// encoder), yuv420p, constant frame rate; optionally an AAC audio track from
// signed 16-bit PCM (FFmpeg's native "aac" encoder). The path "-" streams
// Matroska to standard output instead, flushed after every frame and encoded
// without look-ahead, so a player reading the pipe shows frames as they come.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace le::tool {

struct AudioFormat {
  int sampleRate = 16000;
  int channels = 1;  // 1 or 2, interleaved in writeAudio
  int bitRate = 64000;
};

// Standard output was closed by its reader (a broken pipe).
struct OutputClosed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Mp4Writer {
 public:
  // crf: 0 (best) .. 51; fps > 0. Throws std::runtime_error.
  Mp4Writer(const std::string& path, int width, int height, int fps, int crf);
  // With an audio track when `audio` is set.
  Mp4Writer(const std::string& path, int width, int height, int fps, int crf,
            const std::optional<AudioFormat>& audio);
  ~Mp4Writer();
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  // One frame of width x height x 3 bytes.
  void write(const uint8_t* rgb);
  // `count` interleaved samples (a multiple of the channel count), starting
  // where the previous call ended; the track's time 0 is the first frame's.
  // Throws std::logic_error on a writer without audio.
  void writeAudio(const int16_t* pcm, size_t count);
  // Samples per channel written so far.
  int64_t audioSamples() const;
  // Flushes the encoders (the last partial audio frame included) and writes
  // the trailer; the destructor only releases.
  void finish();
  const std::string& encoderName() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace le::tool
