// Speech input of the live host: a 16 kHz mono 16-bit PCM WAV file, read
// whole, or raw 16 kHz s16le samples from a stream as they arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace le::tool {

inline constexpr int kSpeechRate = 16000;

// The samples of a RIFF/WAVE file holding 16 kHz mono 16-bit PCM (plain or
// WAVE_FORMAT_EXTENSIBLE). Any other format is refused with a message that
// names what the file holds and how to convert it; a truncated data chunk
// keeps the whole samples present. Throws std::runtime_error.
std::vector<int16_t> parseWav(std::string_view bytes, const std::string& name);
std::vector<int16_t> readWav(const std::string& path);

// Reads up to n samples of raw little-endian s16 from `in`, blocking until n
// arrive or the stream ends; 0 at the end. A dangling odd byte at the end is
// dropped.
size_t readRawSamples(std::FILE* in, int16_t* out, size_t n);

}  // namespace le::tool
