#include "wav_reader.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace le::tool {
namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;

uint32_t u32(std::string_view b, size_t at) {
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}
uint16_t u16(std::string_view b, size_t at) { return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8); }

const char kConvert[] = " (convert with: ffmpeg -i IN -ar 16000 -ac 1 -c:a pcm_s16le OUT.wav)";

}  // namespace

std::vector<int16_t> parseWav(std::string_view b, const std::string& name) {
  if (b.size() < 12 || b.substr(0, 4) != "RIFF" || b.substr(8, 4) != "WAVE")
    throw std::runtime_error(name + " is not a WAV file (no RIFF/WAVE header); raw 16 kHz s16le PCM goes in as '-' "
                             "on standard input");
  bool haveFmt = false;
  uint16_t format = 0, channels = 0, bits = 0;
  uint32_t rate = 0;
  size_t cur = 12;
  const size_t end = b.size();
  while (end - cur >= 8) {
    const std::string_view id = b.substr(cur, 4);
    const uint64_t len = u32(b, cur + 4);
    cur += 8;
    const size_t avail = end - cur;
    if (id == "fmt ") {
      if (len < 16 || len > avail) throw std::runtime_error(name + ": truncated fmt chunk");
      format = u16(b, cur);
      channels = u16(b, cur + 2);
      rate = u32(b, cur + 4);
      bits = u16(b, cur + 14);
      // The extensible header carries the real format in its sub-format GUID.
      if (format == kFormatExtensible && len >= 26) format = u16(b, cur + 24);
      haveFmt = true;
    } else if (id == "data") {
      if (!haveFmt) throw std::runtime_error(name + ": data chunk before the fmt chunk");
      if (format != kFormatPcm || bits != 16 || channels != 1 || rate != kSpeechRate)
        throw std::runtime_error(name + " holds " + std::to_string(rate) + " Hz, " + std::to_string(channels) +
                                 " channel(s), " + std::to_string(bits) + "-bit " +
                                 (format == kFormatPcm ? "PCM" : "format " + std::to_string(format)) +
                                 "; le-live takes 16 kHz mono 16-bit PCM" + kConvert);
      // Writers that stream leave the length at 0 or 0xFFFFFFFF: take what is there.
      const uint64_t take = len == 0 || len > avail ? avail : len;
      std::vector<int16_t> s(size_t(take / 2));
      for (size_t i = 0; i < s.size(); ++i) s[i] = int16_t(u16(b, cur + 2 * i));
      return s;
    }
    if (len > avail) break;
    // Chunks are padded to an even length.
    const uint64_t step = len + (len & 1);
    if (step > avail) break;
    cur += size_t(step);
  }
  throw std::runtime_error(name + (haveFmt ? ": no data chunk" : ": no fmt chunk"));
}

std::vector<int16_t> readWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error("cannot read " + path);
  return parseWav(bytes, path);
}

size_t readRawSamples(std::FILE* in, int16_t* out, size_t n) {
  std::vector<unsigned char> buf(n * 2);
  size_t got = 0;
  while (got < buf.size()) {
    const size_t r = std::fread(buf.data() + got, 1, buf.size() - got, in);
    if (r == 0) break;
    got += r;
  }
  const size_t samples = got / 2;
  for (size_t i = 0; i < samples; ++i) out[i] = int16_t(buf[2 * i] | buf[2 * i + 1] << 8);
  return samples;
}

}  // namespace le::tool
