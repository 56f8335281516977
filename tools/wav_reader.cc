#include "wav_reader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace le::tool {
namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;

uint32_t u32(const unsigned char* b) {
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}
uint16_t u16(const unsigned char* b) { return uint16_t(b[0] | b[1] << 8); }

const char kConvert[] = " (convert with: ffmpeg -i IN -ar 16000 -ac 1 -c:a pcm_s16le OUT.wav)";
constexpr uint32_t kStreamingLength = 0xFFFFFFFFu;

// Exactly n bytes, or false at the end of the input.
bool readFully(std::FILE* in, void* dst, size_t n) { return n == 0 || std::fread(dst, 1, n, in) == n; }

// Skips n bytes; false when the input ends first.
bool skip(std::FILE* in, uint64_t n) {
  unsigned char buf[4096];
  while (n > 0) {
    const size_t want = n < sizeof buf ? size_t(n) : sizeof buf;
    if (std::fread(buf, 1, want, in) != want) return false;
    n -= want;
  }
  return true;
}

}  // namespace

WavStream::WavStream(const std::string& path) : name_(path) {
  in_ = std::fopen(path.c_str(), "rb");
  if (!in_) throw std::runtime_error("cannot open " + path);
  owned_ = true;
  try {
    walkHeader();
  } catch (...) {
    std::fclose(in_);
    throw;
  }
}

WavStream::WavStream(std::FILE* in, const std::string& name) : in_(in), name_(name) { walkHeader(); }

WavStream::~WavStream() {
  if (owned_) std::fclose(in_);
}

// Chunks are walked in order; only the fmt chunk's first 26 bytes are kept,
// every other chunk is skipped as it is read.
void WavStream::walkHeader() {
  unsigned char riff[12];
  if (!readFully(in_, riff, sizeof riff) || std::memcmp(riff, "RIFF", 4) != 0 ||
      std::memcmp(riff + 8, "WAVE", 4) != 0)
    throw std::runtime_error(name_ + " is not a WAV file (no RIFF/WAVE header); raw 16 kHz s16le PCM goes in as '-' "
                             "on standard input");
  bool haveFmt = false;
  uint16_t format = 0, channels = 0, bits = 0;
  uint32_t rate = 0;
  unsigned char head[8];
  while (readFully(in_, head, sizeof head)) {
    const uint64_t len = u32(head + 4);
    if (std::memcmp(head, "fmt ", 4) == 0) {
      unsigned char fmt[26] = {};
      const size_t keep = len < sizeof fmt ? size_t(len) : sizeof fmt;
      if (len < 16 || !readFully(in_, fmt, keep) || !skip(in_, len - keep))
        throw std::runtime_error(name_ + ": truncated fmt chunk");
      format = u16(fmt);
      channels = u16(fmt + 2);
      rate = u32(fmt + 4);
      bits = u16(fmt + 14);
      // The extensible header carries the real format in its sub-format GUID.
      if (format == kFormatExtensible && len >= 26) format = u16(fmt + 24);
      haveFmt = true;
      if (len & 1 && !skip(in_, 1)) break;
      continue;
    }
    if (std::memcmp(head, "data", 4) == 0) {
      if (!haveFmt) throw std::runtime_error(name_ + ": data chunk before the fmt chunk");
      if (format != kFormatPcm || bits != 16 || channels != 1 || rate != kSpeechRate)
        throw std::runtime_error(name_ + " holds " + std::to_string(rate) + " Hz, " + std::to_string(channels) +
                                 " channel(s), " + std::to_string(bits) + "-bit " +
                                 (format == kFormatPcm ? "PCM" : "format " + std::to_string(format)) +
                                 "; le-live takes 16 kHz mono 16-bit PCM" + kConvert);
      // Writers that stream leave the length at 0 or 0xFFFFFFFF: take what is there.
      left_ = len == 0 || len == kStreamingLength ? ~uint64_t{0} : len;
      return;
    }
    // Chunks are padded to an even length.
    if (!skip(in_, len + (len & 1))) break;
  }
  throw std::runtime_error(name_ + (haveFmt ? ": no data chunk" : ": no fmt chunk"));
}

size_t WavStream::read(int16_t* out, size_t n) {
  const uint64_t wholeLeft = left_ / 2;
  if (n > wholeLeft) n = size_t(wholeLeft);
  const size_t got = readRawSamples(in_, out, n);
  left_ -= 2 * uint64_t(got);
  if (got < n) left_ = 0;  // the file ended inside the chunk
  return got;
}

std::vector<int16_t> parseWav(std::string_view bytes, const std::string& name) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(
      bytes.empty() ? std::tmpfile() : ::fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb"),
      std::fclose);
  if (!in) throw std::runtime_error("cannot read " + name);
  WavStream w(in.get(), name);
  std::vector<int16_t> all;
  std::vector<int16_t> block(16384);
  while (const size_t got = w.read(block.data(), block.size())) all.insert(all.end(), block.begin(), block.begin() + std::ptrdiff_t(got));
  return all;
}

std::vector<int16_t> readWav(const std::string& path, size_t maxSamples) {
  WavStream w(path);
  std::vector<int16_t> all;
  std::vector<int16_t> block(16384);
  while (const size_t got = w.read(block.data(), block.size())) {
    if (got > maxSamples - std::min(maxSamples, all.size()))
      throw std::runtime_error("audio " + path + " is too long");
    all.insert(all.end(), block.begin(), block.begin() + std::ptrdiff_t(got));
  }
  return all;
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
