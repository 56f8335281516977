// Frame sources over members written by the fixture generator: lossless
// members are compared byte for byte with the raw planes they were made from,
// lossy ones by the index code in their pixels; every refusal is checked for
// its exact text.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/version.h>
}

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/driver/source.h"
#include "le/runtime/le_simd.h"
#include "testkit/testkit.h"

namespace {

using le::test::readFile;
using le::test::writeFile;

constexpr int kNT = 12, kW = 64, kH = 48, kCrop = 48;

// One directory per test process; each member is written on first use.
const std::string& dir() {
  static le::test::TempDir* d = new le::test::TempDir();  // removed by the last test's exit
  static const struct Cleanup {
    ~Cleanup() { delete d; }
  } cleanup;
  return d->path();
}

std::string member(const std::string& name, std::vector<std::string> args) {
  static std::map<std::string, std::string> made;
  if (auto it = made.find(name); it != made.end()) return it->second;
  const std::string out = dir() + "/" + name;
  args.insert(args.begin(), "video");
  args.insert(args.end(), {"--out", out});
  if (le::test::runFixture(args) != 0) throw std::runtime_error("fixture failed: " + name);
  return made[name] = out;
}

std::string mp4() { return member("d.mp4", {"mp4", "--raw", dir() + "/d.yuv"}); }
std::string prior444() {
  return member("p.mov", {"prior444", "--size", "48", "48", "--raw", dir() + "/p.yuv"});
}

// Runs f, expecting a runtime error with exactly this text.
template <class F>
void expectRefusal(F&& f, const std::string& want) {
  try {
    f();
    ADD_FAILURE() << "no error; wanted: " << want;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), want);
  }
}

uint8_t clamp8(int x) { return static_cast<uint8_t>(x < 0 ? 0 : x > 255 ? 255 : x); }

// Frame i of a raw yuv420p file through the limited-range formula, written
// out independently of the kernel.
std::vector<uint8_t> expectedRgb(const std::string& raw, int i) {
  const size_t ySize = size_t(kW) * kH, cSize = size_t(kW / 2) * (kH / 2);
  const size_t frame = ySize + 2 * cSize;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(raw.data()) + frame * i;
  std::vector<uint8_t> out(ySize * 3);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const int Y = p[y * kW + x], U = p[ySize + (y / 2) * (kW / 2) + x / 2] - 128,
                V = p[ySize + cSize + (y / 2) * (kW / 2) + x / 2] - 128;
      const int c = 298 * (Y - 16) + 128;
      uint8_t* o = &out[(size_t(y) * kW + x) * 3];
      o[0] = clamp8((c + 409 * V) >> 8);
      o[1] = clamp8((c - 100 * U - 208 * V) >> 8);
      o[2] = clamp8((c + 516 * U) >> 8);
    }
  return out;
}

// The frame index from the four grey code blocks of the top half.
int frameCode(const std::vector<uint8_t>& rgb, int w, int h) {
  static const int levels[] = {28, 98, 168, 238};
  const int bw = (w / 4) & ~1;
  int code = 0;
  for (int b = 0; b < 4; ++b) {
    long sum = 0, n = 0;
    for (int y = h / 8; y < h / 2 - h / 8; ++y)
      for (int x = b * bw + 2; x < (b + 1) * bw - 2; ++x, ++n) sum += rgb[(size_t(y) * w + x) * 3];
    const long mean = sum / n;
    int best = 0;
    for (int d = 1; d < 4; ++d)
      if (std::labs(mean - levels[d]) < std::labs(mean - levels[best])) best = d;
    code |= best << (2 * b);
  }
  return code;
}

std::vector<uint8_t> nextFrame(le::driver::Source& s) {
  std::vector<uint8_t> f(s.frameBytes(), 0);
  EXPECT_TRUE(s.next(f.data()));
  return f;
}

size_t firstMismatch(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  const auto m = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  return static_cast<size_t>(m.first - a.begin());
}

// ---------------------------------------------------------------- MP4

TEST(Mp4Source, DecodesEveryFrameExactlyAndEnds) {
  const std::string path = mp4(), raw = readFile(dir() + "/d.yuv");
  auto s = le::driver::openMp4(path, kNT, kW, kH);
  EXPECT_EQ(s->NT(), kNT);
  EXPECT_EQ(s->W(), kW);
  EXPECT_EQ(s->H(), kH);
  EXPECT_EQ(s->frameBytes(), uint64_t(kW) * kH * 3);
  EXPECT_EQ(s->name(), "mp4/libavcodec h264");
  for (int i = 0; i < kNT; ++i) {
    const auto got = nextFrame(*s), want = expectedRgb(raw, i);
    ASSERT_EQ(firstMismatch(got, want), want.size()) << "frame " << i;
    EXPECT_EQ(frameCode(got, kW, kH), i);
  }
  std::vector<uint8_t> spare(s->frameBytes(), 7);
  EXPECT_FALSE(s->next(spare.data()));
  EXPECT_FALSE(s->next(spare.data()));
  EXPECT_EQ(spare, std::vector<uint8_t>(s->frameBytes(), 7));
  // Largest packet plus one 4:2:0 frame per decoder thread (4) and five more.
  const int64_t yuv = int64_t(kW) * kH * 3 / 2;
  const int64_t packet = s->residentBytes() - yuv * 9;
  EXPECT_GT(packet, 0);
  EXPECT_LT(packet, int64_t(readFile(path).size()));
  EXPECT_EQ(le::driver::openMp4(path, kNT, kW, kH)->residentBytes(), yuv * 9);
}

TEST(Mp4Source, SeekAndRewindLandOnTheAskedFrame) {
  auto s = le::driver::openMp4(mp4(), kNT, kW, kH);
  s->seek(7);
  EXPECT_EQ(frameCode(nextFrame(*s), kW, kH), 7);
  s->seek(7);  // backward by one: from frame 0 again
  EXPECT_EQ(frameCode(nextFrame(*s), kW, kH), 7);
  s->seek(2);
  EXPECT_EQ(frameCode(nextFrame(*s), kW, kH), 2);
  EXPECT_EQ(frameCode(nextFrame(*s), kW, kH), 3);
  s->seek(kNT - 1);
  EXPECT_EQ(frameCode(nextFrame(*s), kW, kH), kNT - 1);
  std::vector<uint8_t> f(s->frameBytes());
  EXPECT_FALSE(s->next(f.data()));
  s->rewind();
  const auto first = nextFrame(*s);
  EXPECT_EQ(firstMismatch(first, expectedRgb(readFile(dir() + "/d.yuv"), 0)), first.size());
  for (int bad : {-1, kNT, 1 << 30})
    expectRefusal([&] { s->seek(bad); }, "le_driver: seek outside the member");
  EXPECT_EQ(frameCode(nextFrame(*s), kW, kH), 1);  // a refused seek moves nothing
}

TEST(Mp4Source, UndeclaredFrameCountIsAcceptedAndAShortMemberEnds) {
  const std::string path = member("frag.mp4", {"mp4-fragmented"});
  auto s = le::driver::openMp4(path, kNT + 8, kW, kH);  // declares 0 frames: not checked
  for (int i = 0; i < kNT; ++i) ASSERT_EQ(frameCode(nextFrame(*s), kW, kH), i);
  std::vector<uint8_t> f(s->frameBytes());
  EXPECT_FALSE(s->next(f.data()));
  s->rewind();
  EXPECT_EQ(frameCode(nextFrame(*s), kW, kH), 0);
  expectRefusal([&] { s->seek(kNT + 3); },
                "le_driver: " + path + " ended at frame 12 while seeking to 15");
}

TEST(Mp4Source, OpenRefusesMismatchedMembers) {
  const std::string path = mp4();
  expectRefusal([&] { le::driver::openMp4(path, kNT - 1, kW, kH); },
                "le_driver: " + path +
                    " carries 12 frames, the manifest says NT=11 — member/manifest mismatch, "
                    "refusing");
  expectRefusal([&] { le::driver::openMp4(path, kNT, kW + 2, kH); },
                "le_driver: " + path +
                    " is 64x48, the manifest says 66x48 — refusing to rescale the driver");
  expectRefusal([&] { le::driver::openMp4(path, kNT, kW, kH - 1); },
                "le_driver: " + path +
                    " is 64x48, the manifest says 64x47 — refusing to rescale the driver");
  expectRefusal([&] { le::driver::openMp4(path, 0, kW, kH); },
                "le_driver: " + path +
                    " asked for NT=0 frames of 64x48 — every count must be positive, refusing");
}

TEST(Mp4Source, RefusesA422StreamOnTheFirstFrame) {
  const std::string path = member("d422.mp4", {"mp4-422"});
  auto s = le::driver::openMp4(path, kNT, kW, kH);
  std::vector<uint8_t> f(s->frameBytes(), 9);
  expectRefusal([&] { s->next(f.data()); },
                "le_driver: " + path +
                    " decoded to yuv422p, not the 4:2:0 layout the canvas conversion is written "
                    "for (yuv420p / nv12) — refusing rather than pasting onto a different pixel "
                    "domain");
  EXPECT_EQ(f, std::vector<uint8_t>(f.size(), 9));
}

TEST(Mp4Source, RefusesASizeChangeBeforeCopyingTheFrame) {
  const std::string path = member("resized.mp4", {"mp4-resized"});
  auto s = le::driver::openMp4(path, kNT, kW, kH);
  std::vector<uint8_t> f(s->frameBytes());
  int good = 0;
  try {
    for (; good < kNT; ++good) {
      std::fill(f.begin(), f.end(), 9);
      ASSERT_TRUE(s->next(f.data()));
      EXPECT_EQ(frameCode(f, kW, kH), good);
    }
    ADD_FAILURE() << "the size change was not refused";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "le_driver: " + path + " changed size mid-stream — refusing");
    EXPECT_EQ(f, std::vector<uint8_t>(f.size(), 9)) << "the refused frame was copied";
  }
  EXPECT_GE(good, 1);
  EXPECT_LT(good, kNT);
}

TEST(Mp4Source, UnreadableInputsAreRefusedAtOpen) {
  const std::string d = dir();
  std::string good = readFile(mp4());
  writeFile(d + "/garbage.mp4", std::string(4096, '\x5a'));
  writeFile(d + "/empty.mp4", "");
  // The index (moov) sits after the media data: any cut loses it.
  writeFile(d + "/cut.mp4", good.substr(0, good.size() / 2));
  // Playlists and concat scripts naming a local member are not containers
  // the driver reads: nothing is followed.
  writeFile(d + "/list.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n" + mp4() +
                                  "\n#EXT-X-ENDLIST\n");
  writeFile(d + "/list.ffconcat", "ffconcat version 1.0\nfile '" + mp4() + "'\n");
  for (const char* name : {"garbage.mp4", "empty.mp4", "cut.mp4", "list.m3u8",
                           "list.ffconcat", "missing.mp4"}) {
    const std::string path = d + "/" + name;
    expectRefusal([&] { le::driver::openMp4(path, kNT, kW, kH); },
                  "le_driver: " + path + " is not a readable container");
  }
  for (const std::string& url :
       std::vector<std::string>{"http://127.0.0.1:9/d.mp4", "pipe:0", "concat:" + mp4()})
    expectRefusal([&] { le::driver::openMp4(url, kNT, kW, kH); },
                  "le_driver: " + url + " is not a readable container");
  const std::string audio = member("audio.mov", {"audio-only"});
  expectRefusal([&] { le::driver::openMp4(audio, kNT, kW, kH); },
                "le_driver: " + audio + " has no video stream");
}

// Cuts that keep the index (fragments, or the tail of a trailing index):
// the member opens, then ends early or fails with a message naming it.
TEST(Mp4Source, TruncatedMembersEndOrFailCleanly) {
  const std::string frag = readFile(member("frag.mp4", {"mp4-fragmented"}));
  const std::string plain = readFile(mp4());
  const std::pair<std::string, size_t> cuts[] = {
      {frag, frag.size() / 3}, {frag, frag.size() / 2}, {frag, frag.size() - 100},
      {plain, plain.size() - 16}, {plain, plain.size() - 300}, {plain, 30000}};
  for (const auto& [good, keep] : cuts) {
    const std::string path = dir() + "/cut.mp4";
    writeFile(path, good.substr(0, keep));
    SCOPED_TRACE(keep);
    try {
      auto s = le::driver::openMp4(path, kNT, kW, kH);
      std::vector<uint8_t> f(s->frameBytes());
      int n = 0;
      while (n <= kNT && s->next(f.data())) ++n;
      EXPECT_LE(n, kNT);
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("le_driver: " + path + " ", 0), 0u) << e.what();
    }
  }
}

// Which hardware-decoder lines an open prints, with and without the override.
bool nvidiaDecodeLibrary() {
  void* lib = ::dlopen("libnvcuvid.so.1", RTLD_LAZY | RTLD_LOCAL);
  if (lib) ::dlclose(lib);
  return lib != nullptr;
}

TEST(Mp4Source, HardwareDecoderRule) {
  const std::string path = mp4(), prior = prior444();
  {
    le::test::ScopedEnv off("LE_DRIVER_HWDEC", "0");
    testing::internal::CaptureStderr();
    le::driver::openMp4(path, kNT, kW, kH);
    le::driver::openPriorHevc(prior, kNT, kCrop);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(le::test::countOf(err,
                                "[le-driver] LE_DRIVER_HWDEC=0 — h264_cuvid not attempted; the "
                                "software decoder is the one decoder on this fleet (same "
                                "samples)\n"),
              2)
        << err;
    EXPECT_EQ(le::test::countOf(err, "[le-driver]"), 2) << err;
  }
  for (const char* value : {static_cast<const char*>(nullptr), "1", "00", ""}) {
    le::test::ScopedEnv env("LE_DRIVER_HWDEC",
                            value ? std::optional<std::string>(value) : std::nullopt);
    testing::internal::CaptureStderr();
    auto s = le::driver::openMp4(path, kNT, kW, kH);
    le::driver::openPriorHevc(prior, kNT, kCrop);  // never tries a hardware decoder
    const std::string err = testing::internal::GetCapturedStderr();
    if (!avcodec_find_decoder_by_name("h264_cuvid") || !nvidiaDecodeLibrary()) {
      // Absent, or compiled into FFmpeg without the library it loads: nothing
      // is attempted, so neither our line nor FFmpeg's own appears.
      EXPECT_EQ(le::test::countOf(err, "[le-driver]"), 0) << err;
      EXPECT_EQ(le::test::countOf(err, "cuvid"), 0) << err;
      EXPECT_EQ(s->name(), "mp4/libavcodec h264");
    } else if (s->name() != "mp4/libavcodec h264_cuvid") {
      // Present in this FFmpeg but not usable here: one fall-back line.
      EXPECT_EQ(le::test::countOf(err, "[le-driver] h264_cuvid refused " + path +
                                           " — falling back to the software h264 decoder "
                                           "(same samples, more CPU)\n"),
                1)
          << err;
      EXPECT_EQ(le::test::countOf(err, "[le-driver]"), 1) << err;
      EXPECT_EQ(s->name(), "mp4/libavcodec h264");
    }
    EXPECT_EQ(le::test::countOf(err, "not attempted"), 0) << err;
  }
}

// ---------------------------------------------------------------- HEVC prior

TEST(PriorSource, Yuv444ToPlanarHalfThroughTheTable) {
  const std::string path = prior444(), raw = readFile(dir() + "/p.yuv");
  auto s = le::driver::openPriorHevc(path, kNT, kCrop);
  EXPECT_EQ(s->W(), kCrop);
  EXPECT_EQ(s->H(), kCrop);
  EXPECT_EQ(s->frameBytes(), uint64_t(kCrop) * kCrop * 6);
  EXPECT_EQ(s->name(), "hevc444/libavcodec hevc");
  const size_t plane = size_t(kCrop) * kCrop;
  const auto half = [&](const std::vector<uint8_t>& f, int p, size_t i) {
    uint16_t h;
    std::memcpy(&h, f.data() + (p * plane + i) * 2, 2);
    return h;
  };
  for (int i = 0; i < kNT; ++i) {
    const auto f = nextFrame(*s);
    const uint8_t* src = reinterpret_cast<const uint8_t*>(raw.data()) + 3 * plane * i;
    for (size_t k = 0; k < plane; ++k) {
      const int64_t c = (int64_t(src[k]) - 16) * 76312;
      const int64_t u = int64_t(src[plane + k]) - 128, v = int64_t(src[2 * plane + k]) - 128;
      const int64_t rgb[3] = {(c + 104600 * v + 32768) >> 16,
                              (c - 25672 * u - 53280 * v + 32768) >> 16,
                              (c + 132200 * u + 32768) >> 16};
      for (int p = 0; p < 3; ++p) {
        const float want = static_cast<float>(std::clamp<int64_t>(rgb[p], 0, 255)) / 255.0f;
        ASSERT_EQ(half(f, p, k), le::f32ToF16(want)) << "frame " << i << " px " << k << " p " << p;
      }
    }
    // Bottom-left: Y = 235 then Y = 16, neutral chroma: 1.0 and 0.
    for (int p = 0; p < 3; ++p) {
      EXPECT_EQ(half(f, p, (kCrop - 1) * size_t(kCrop)), 0x3C00);
      EXPECT_EQ(half(f, p, (kCrop - 1) * size_t(kCrop) + 1), 0x0000);
    }
  }
  std::vector<uint8_t> f(s->frameBytes());
  EXPECT_FALSE(s->next(f.data()));
  s->seek(5);
  s->seek(4);
  const auto at4 = nextFrame(*s);
  s->rewind();
  s->seek(4);
  EXPECT_EQ(nextFrame(*s), at4);
  EXPECT_GT(s->residentBytes(), int64_t(kCrop) * kCrop * 3 * 6);
}

TEST(PriorSource, RefusesASubsampledPrior) {
  const std::string path = member("p420.mov", {"prior420", "--size", "48", "48"});
  auto s = le::driver::openPriorHevc(path, kNT, kCrop);
  std::vector<uint8_t> f(s->frameBytes());
  expectRefusal([&] { s->next(f.data()); },
                "le_driver: " + path +
                    " decoded to yuv420p, not the yuv444p a warp prior is authored in — a "
                    "subsampled prior is a different mouth, refusing");
  expectRefusal([&] { le::driver::openPriorHevc(path, kNT, 50); },
                "le_driver: " + path +
                    " is 48x48, the manifest says 50x50 — refusing to rescale the driver");
}

// ---------------------------------------------------------------- JPEG

TEST(JpgSource, DecodesInOrderAndRefusesAFrameOfTheWrongSize) {
  const std::string jd = member("jpg", {"jpgdir", "--nt", "13", "--odd-frame", "12", "--size2",
                                        "63", "48"});
  auto s = le::driver::openJpgDir(jd, 13, kW, kH);
  EXPECT_EQ(s->name(), "jpg/stb");
  EXPECT_EQ(s->residentBytes(), 0);
  EXPECT_EQ(s->frameBytes(), uint64_t(kW) * kH * 3);
  for (int i = 0; i < 12; ++i) ASSERT_EQ(frameCode(nextFrame(*s), kW, kH), i);
  std::vector<uint8_t> f(s->frameBytes());
  const std::string bad = jd + "/frame_000012.jpg";
  expectRefusal([&] { s->next(f.data()); },
                "le_driver: " + bad + " is 63x48, the manifest says 64x48 — refusing");
  s->seek(3);
  EXPECT_EQ(frameCode(nextFrame(*s), kW, kH), 3);
  s->rewind();
  EXPECT_EQ(frameCode(nextFrame(*s), kW, kH), 0);
  expectRefusal([&] { s->seek(13); }, "le_driver: seek outside the member");
  expectRefusal([&] { s->seek(-1); }, "le_driver: seek outside the member");

  // One frame more than the directory holds: a decode failure naming the file.
  auto longer = le::driver::openJpgDir(jd, 14, kW, kH);
  longer->seek(13);
  expectRefusal([&] { longer->next(f.data()); }, "decode failed: " + jd + "/frame_000013.jpg");
  auto done = le::driver::openJpgDir(jd, 2, kW, kH);
  done->seek(1);
  EXPECT_TRUE(done->next(f.data()));
  EXPECT_FALSE(done->next(f.data()));
}

TEST(ImageIo, PngRoundTripAndFailures) {
  const std::string d = dir();
  std::vector<uint8_t> rgb(5 * 3 * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 17);
  le::writePNG(d + "/x.png", rgb.data(), 5, 3);
  int w = 0, h = 0;
  EXPECT_EQ(le::loadImageRGB(d + "/x.png", &w, &h), rgb);
  EXPECT_EQ(w, 5);
  EXPECT_EQ(h, 3);
  writeFile(d + "/bad.jpg", std::string("\xFF\xD8\xFF\xE0 not really", 15));
  expectRefusal([&] { le::loadImageRGB(d + "/bad.jpg", &w, &h); }, "decode failed: " + d + "/bad.jpg");
  expectRefusal([&] { le::writePNG(d + "/no/such/dir/x.png", rgb.data(), 5, 3); },
                "png write failed: " + d + "/no/such/dir/x.png");
  expectRefusal([&] { le::writePNG(d + "/y.png", rgb.data(), 0, 3); },
                "png write failed: " + d + "/y.png");
}

TEST(MovieDecoderBuild, NamesTheCompiledLibavcodec) {
  const std::string want = "libavcodec " + std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." +
                           std::to_string(LIBAVCODEC_VERSION_MINOR) + "." +
                           std::to_string(LIBAVCODEC_VERSION_MICRO) + " / " +
                           avcodec_configuration();
  EXPECT_EQ(le::movieDecoderBuild(), want);
}

}  // namespace
