// Speech input of the host programs: any audio file FFmpeg reads (WAV of any
// rate and sample format, FLAC, MP3, AAC in MP4, ...; any channel count),
// decoded and resampled to 16 kHz mono 16-bit, or raw 16 kHz s16le samples
// from a stream as they arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace le::tool {

inline constexpr int kSpeechRate = 16000;
// An hour of speech bounds what a file may decode to.
inline constexpr size_t kMaxSpeechSamples = size_t(3600) * kSpeechRate;

// The whole file as 16 kHz mono samples (channels averaged). Throws
// std::runtime_error naming the file and the reason.
std::vector<int16_t> readSpeech(const std::string& path);

// Reads up to n samples of raw little-endian s16 from `in`, blocking until n
// arrive or the stream ends; 0 at the end. A dangling odd byte at the end is
// dropped.
size_t readRawSamples(std::FILE* in, int16_t* out, size_t n);

}  // namespace le::tool
