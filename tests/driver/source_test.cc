// Frame sources and the cursor's openers over members written with the
// ffmpeg CLI: lossless members are compared byte for byte with the raw planes
// they were made from, others by the index code in their pixels; every
// refusal is checked for its exact text.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/version.h>
}

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "le/bundle/fsutil.h"
#include "le/bundle/manifest.h"
#include "le/driver/cursor.h"
#include "le/driver/source.h"
#include "le/runtime/le_simd.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using test::errorOf;
using test::readFile;
using test::ScopedEnv;
using test::writeFile;

constexpr int kNT = 12, kW = 64, kH = 48, kCrop = 48;

// One directory per test process; each member is written on first use.
const std::string& dir() { static const test::TempDir d; return d.path(); }

std::string member(const std::string& name, const std::string& kind, std::vector<std::string> more = {}) {
  static std::map<std::string, std::string> made;
  if (auto it = made.find(name); it != made.end()) return it->second;
  const std::string out = dir() + "/" + name;
  more.insert(more.begin(), {"video", kind, "--out", out});
  EXPECT_EQ(test::runFixture(more), 0) << name;
  return made[name] = out;
}
std::string mp4() { return member("d.mp4", "mp4", {"--raw", dir() + "/d.yuv"}); }
std::string prior() { return member("p.mov", "prior444", {"--size", "48", "48", "--raw", dir() + "/p.yuv"}); }

// The frame index from the four grey code blocks of the top half, in an RGB
// frame or in the R plane of a binary16 prior.
int frameCode(const uint8_t* f, int w, int h, bool half = false) {
  const int bw = (w / 4) & ~1, levels[] = {28, 98, 168, 238};
  int code = 0;
  for (int b = 0; b < 4; ++b) {
    const size_t px = size_t(h / 4) * size_t(w) + size_t(b * bw + bw / 2);
    float v = f[px * 3];
    if (half) halfToFloat(reinterpret_cast<const uint16_t*>(f) + px, &v, 1), v *= 255;
    int best = 0;
    for (int d = 1; d < 4; ++d)
      if (std::abs(v - levels[d]) < std::abs(v - levels[best])) best = d;
    code |= best << (2 * b);
  }
  return code;
}

std::vector<uint8_t> next(driver::Source& s) {
  std::vector<uint8_t> f(s.frameBytes(), 0);
  EXPECT_TRUE(s.next(f.data()));
  return f;
}
int nextCode(driver::Source& s) { return frameCode(next(s).data(), s.W(), s.H()); }

TEST(Mp4Source, DecodesEveryFrameExactlySeeksAndEnds) {
  const std::string path = mp4(), raw = readFile(dir() + "/d.yuv");
  auto s = driver::openMp4(path, kNT, kW, kH);
  EXPECT_EQ(std::make_tuple(s->NT(), s->W(), s->H(), s->frameBytes(), s->name()),
            std::make_tuple(kNT, kW, kH, uint64_t(kW * kH * 3), std::string("mp4/libavcodec h264")));
  const size_t ySize = size_t(kW) * kH, cSize = ySize / 4;
  for (int i = 0; i < kNT; ++i) {
    // Frame i of the raw yuv420p planes through the limited-range formula.
    const uint8_t* p = reinterpret_cast<const uint8_t*>(raw.data()) + (ySize + 2 * cSize) * size_t(i);
    std::vector<uint8_t> want(ySize * 3);
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const size_t c = size_t(y / 2) * (kW / 2) + size_t(x / 2);
        const int Y = 298 * (p[size_t(y) * kW + x] - 16) + 128, U = p[ySize + c] - 128, V = p[ySize + cSize + c] - 128;
        const int rgb[3] = {(Y + 409 * V) >> 8, (Y - 100 * U - 208 * V) >> 8, (Y + 516 * U) >> 8};
        for (int k = 0; k < 3; ++k) want[(size_t(y) * kW + x) * 3 + size_t(k)] = uint8_t(std::clamp(rgb[k], 0, 255));
      }
    ASSERT_EQ(next(*s), want) << "frame " << i;
  }
  std::vector<uint8_t> spare(s->frameBytes(), 7);
  EXPECT_FALSE(s->next(spare.data()) || s->next(spare.data()));
  EXPECT_EQ(spare, std::vector<uint8_t>(spare.size(), 7));
  // The largest packet plus one 4:2:0 frame per decoder thread (4) and five more.
  const int64_t yuv = int64_t(kW) * kH * 3 / 2, packet = s->residentBytes() - yuv * 9;
  EXPECT_TRUE(packet > 0 && packet < int64_t(readFile(path).size())) << packet;
  EXPECT_EQ(driver::openMp4(path, kNT, kW, kH)->residentBytes(), yuv * 9);
  // Seeks land on the asked frame, backward ones through a rewind.
  for (const int si : {7, 7, 2, kNT - 1}) {
    s->seek(si);
    EXPECT_EQ(nextCode(*s), si);
  }
  s->rewind();
  EXPECT_EQ(nextCode(*s), 0);
  for (int bad : {-1, kNT, 1 << 30}) EXPECT_EQ(errorOf([&] { s->seek(bad); }), "le_driver: seek outside the member");
  EXPECT_EQ(nextCode(*s), 1);  // a refused seek moves nothing
}

TEST(Mp4Source, RefusalsAtOpenAndOnTheFirstFrame) {
  const std::string path = mp4(), frag = member("frag.mp4", "mp4-fragmented");
  const std::pair<std::string, std::string> opens[] = {
      {errorOf([&] { driver::openMp4(path, kNT - 1, kW, kH); }),
       " carries 12 frames, the manifest says NT=11 — member/manifest mismatch, refusing"},
      {errorOf([&] { driver::openMp4(path, kNT, kW + 2, kH); }),
       " is 64x48, the manifest says 66x48 — refusing to rescale the driver"},
      {errorOf([&] { driver::openMp4(path, kNT, kW, kH - 1); }),
       " is 64x48, the manifest says 64x47 — refusing to rescale the driver"},
      {errorOf([&] { driver::openMp4(path, 0, kW, kH); }),
       " asked for NT=0 frames of 64x48 — every count must be positive, refusing"}};
  for (const auto& [got, tail] : opens) EXPECT_EQ(got, "le_driver: " + path + tail);
  // A member that declares no frame count is accepted and simply ends.
  auto s = driver::openMp4(frag, kNT + 8, kW, kH);
  for (int i = 0; i < kNT; ++i) ASSERT_EQ(nextCode(*s), i);
  std::vector<uint8_t> f(s->frameBytes(), 9);
  EXPECT_FALSE(s->next(f.data()));
  EXPECT_EQ(errorOf([&] { s->seek(kNT + 3); }), "le_driver: " + frag + " ended at frame 12 while seeking to 15");
  // 4:2:2 and a mid-stream size change are refused before the frame is copied.
  const std::string d422 = member("d422.mp4", "mp4-422"), resized = member("resized.mp4", "mp4-resized");
  auto s422 = driver::openMp4(d422, kNT, kW, kH);
  EXPECT_EQ(errorOf([&] { s422->next(f.data()); }),
            "le_driver: " + d422 + " decoded to yuv422p, not the 4:2:0 layout the canvas conversion is written for "
                                   "(yuv420p / nv12) — refusing rather than pasting onto a different pixel domain");
  EXPECT_EQ(f, std::vector<uint8_t>(f.size(), 9));
  auto sr = driver::openMp4(resized, kNT, kW, kH);
  int good = 0;
  std::string err;
  while (good < kNT && (err = errorOf([&] { EXPECT_EQ(nextCode(*sr), good); })) == "(no error)") ++good;
  EXPECT_EQ(err, "le_driver: " + resized + " changed size mid-stream — refusing");
  EXPECT_TRUE(good >= 1 && good < kNT) << good;
}

TEST(Mp4Source, UnreadableAndTruncatedInputs) {
  const std::string d = dir(), good = readFile(mp4()), frag = readFile(member("frag.mp4", "mp4-fragmented"));
  writeFile(d + "/garbage.mp4", std::string(4096, '\x5a'));
  writeFile(d + "/empty.mp4", "");
  writeFile(d + "/cut.mp4", good.substr(0, good.size() / 2));  // the index (moov) follows the media data
  // Playlists and concat scripts naming a local member are not followed.
  writeFile(d + "/list.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n" + mp4() + "\n#EXT-X-ENDLIST\n");
  writeFile(d + "/list.ffconcat", "ffconcat version 1.0\nfile '" + mp4() + "'\n");
  for (const std::string& p : {d + "/garbage.mp4", d + "/empty.mp4", d + "/cut.mp4", d + "/list.m3u8",
                               d + "/list.ffconcat", d + "/missing.mp4", std::string("http://127.0.0.1:9/d.mp4"),
                               std::string("pipe:0"), "concat:" + mp4()})
    EXPECT_EQ(errorOf([&] { driver::openMp4(p, kNT, kW, kH); }), "le_driver: " + p + " is not a readable container");
  const std::string audio = member("audio.mov", "audio-only");
  EXPECT_EQ(errorOf([&] { driver::openMp4(audio, kNT, kW, kH); }), "le_driver: " + audio + " has no video stream");
  // Cuts that keep the index open, then end early or fail naming the member.
  for (const auto& [whole, keep] : {std::pair{frag, frag.size() / 3}, {frag, frag.size() - 100},
                                    {good, good.size() - 16}, {good, good.size() - 300}, {good, size_t(30000)}}) {
    const std::string path = d + "/cut.mp4";
    writeFile(path, whole.substr(0, keep));
    const std::string e = errorOf([&] {
      auto s = driver::openMp4(path, kNT, kW, kH);
      std::vector<uint8_t> f(s->frameBytes());
      int n = 0;
      while (n <= kNT && s->next(f.data())) ++n;
      EXPECT_LE(n, kNT) << keep;
    });
    if (e != "(no error)") {
      EXPECT_EQ(e.rfind("le_driver: " + path + " ", 0), 0u) << e;
    }
  }
}

TEST(Mp4Source, HardwareDecoderRule) {
  const std::string path = mp4(), p = prior();
  const std::string off = "[le-driver] LE_DRIVER_HWDEC=0 — h264_cuvid not attempted; the software decoder is the one "
                          "decoder on this fleet (same samples)\n";
  void* lib = ::dlopen("libnvcuvid.so.1", RTLD_LAZY | RTLD_LOCAL);
  const bool cuvid = avcodec_find_decoder_by_name("h264_cuvid") && lib;
  if (lib) ::dlclose(lib);
  for (const char* value : {"0", static_cast<const char*>(nullptr), "1", "00", ""}) {
    ScopedEnv env("LE_DRIVER_HWDEC", value ? std::optional<std::string>(value) : std::nullopt);
    testing::internal::CaptureStderr();
    auto s = driver::openMp4(path, kNT, kW, kH);
    driver::openPriorHevc(p, kNT, kCrop);  // never tries a hardware decoder
    const std::string err = testing::internal::GetCapturedStderr();
    if (value && std::string(value) == "0") {
      EXPECT_EQ(test::countOf(err, off), 2) << err;  // once per open, the prior's too
      EXPECT_EQ(test::countOf(err, "[le-driver]"), 2) << err;
    } else if (!cuvid) {
      // Absent, or compiled in without the library it loads: nothing is tried.
      EXPECT_EQ(test::countOf(err, "[le-driver]") + test::countOf(err, "cuvid"), 0) << err;
      EXPECT_EQ(s->name(), "mp4/libavcodec h264");
    } else if (s->name() != "mp4/libavcodec h264_cuvid") {
      EXPECT_EQ(test::countOf(err, "[le-driver] h264_cuvid refused " + path +
                                       " — falling back to the software h264 decoder (same samples, more CPU)\n"),
                1) << err;
    }
  }
}

TEST(PriorSource, Yuv444ToPlanarHalfThroughTheTable) {
  const std::string path = prior(), raw = readFile(dir() + "/p.yuv");
  auto s = driver::openPriorHevc(path, kNT, kCrop);
  EXPECT_EQ(std::make_tuple(s->W(), s->H(), s->frameBytes(), s->name()),
            std::make_tuple(kCrop, kCrop, uint64_t(kCrop * kCrop * 6), std::string("hevc444/libavcodec hevc")));
  const size_t plane = size_t(kCrop) * kCrop;
  std::vector<uint8_t> at4;
  for (int i = 0; i < kNT; ++i) {
    const auto f = next(*s);
    if (i == 4) at4 = f;
    const uint8_t* src = reinterpret_cast<const uint8_t*>(raw.data()) + 3 * plane * size_t(i);
    for (size_t k = 0; k < plane; ++k) {
      const int64_t c = (int64_t(src[k]) - 16) * 76312, u = int64_t(src[plane + k]) - 128, v = int64_t(src[2 * plane + k]) - 128;
      const int64_t rgb[3] = {(c + 104600 * v + 32768) >> 16, (c - 25672 * u - 53280 * v + 32768) >> 16,
                              (c + 132200 * u + 32768) >> 16};
      for (size_t p = 0; p < 3; ++p) {
        uint16_t h;
        std::memcpy(&h, f.data() + (p * plane + k) * 2, 2);
        ASSERT_EQ(h, f32ToF16(float(std::clamp<int64_t>(rgb[p], 0, 255)) / 255.0f)) << i << " px " << k << " p " << p;
        // Bottom-left: Y = 235 and Y = 16 with neutral chroma give 1.0 and 0.
        if (k == plane - size_t(kCrop) || k == plane - size_t(kCrop) + 1) {
          EXPECT_EQ(h, k == plane - size_t(kCrop) ? 0x3C00 : 0x0000);
        }
      }
    }
  }
  std::vector<uint8_t> f(s->frameBytes());
  EXPECT_FALSE(s->next(f.data()));
  s->seek(5);
  s->seek(4);
  EXPECT_EQ(next(*s), at4);
  EXPECT_GT(s->residentBytes(), int64_t(kCrop) * kCrop * 3 * 6);
  const std::string p420 = member("p420.mov", "prior420", {"--size", "48", "48"});
  auto bad = driver::openPriorHevc(p420, kNT, kCrop);
  EXPECT_EQ(errorOf([&] { bad->next(f.data()); }),
            "le_driver: " + p420 + " decoded to yuv420p, not the yuv444p a warp prior is authored in — a subsampled "
                                   "prior is a different mouth, refusing");
}

TEST(JpgSource, DecodesInOrderAndRefusesAFrameOfTheWrongSize) {
  const std::string jd = member("jpg", "jpgdir", {"--nt", "13", "--odd-frame", "12", "--size2", "63", "48"});
  auto s = driver::openJpgDir(jd, 13, kW, kH);
  EXPECT_EQ(std::make_tuple(s->name(), s->residentBytes(), s->frameBytes()),
            std::make_tuple(std::string("jpg/stb"), int64_t(0), uint64_t(kW * kH * 3)));
  for (int i = 0; i < 12; ++i) ASSERT_EQ(nextCode(*s), i);
  std::vector<uint8_t> f(s->frameBytes());
  EXPECT_EQ(errorOf([&] { s->next(f.data()); }),
            "le_driver: " + jd + "/frame_000012.jpg is 63x48, the manifest says 64x48 — refusing");
  s->seek(3);
  EXPECT_EQ(nextCode(*s), 3);
  s->rewind();
  EXPECT_EQ(nextCode(*s), 0);
  for (int bad : {13, -1}) EXPECT_EQ(errorOf([&] { s->seek(bad); }), "le_driver: seek outside the member");
  auto longer = driver::openJpgDir(jd, 14, kW, kH);  // one frame more than the directory holds
  longer->seek(13);
  EXPECT_EQ(errorOf([&] { longer->next(f.data()); }), "decode failed: " + jd + "/frame_000013.jpg");
  auto done = driver::openJpgDir(jd, 2, kW, kH);
  done->seek(1);
  EXPECT_TRUE(done->next(f.data()) && !done->next(f.data()));
  // The image helpers round-trip a PNG and name the file they fail on.
  std::vector<uint8_t> rgb(5 * 3 * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(i * 17);
  writePNG(dir() + "/x.png", rgb.data(), 5, 3);
  int w = 0, h = 0;
  EXPECT_EQ(loadImageRGB(dir() + "/x.png", &w, &h), rgb);
  EXPECT_EQ(std::make_pair(w, h), std::make_pair(5, 3));
  writeFile(dir() + "/bad.jpg", std::string("\xFF\xD8\xFF\xE0 not really", 15));
  EXPECT_EQ(errorOf([&] { loadImageRGB(dir() + "/bad.jpg", &w, &h); }), "decode failed: " + dir() + "/bad.jpg");
  for (const auto& [path, width] : {std::pair{dir() + "/no/such/dir/x.png", 5}, {dir() + "/y.png", 0}})
    EXPECT_EQ(errorOf([&] { writePNG(path, rgb.data(), width, 3); }), "png write failed: " + path);
  EXPECT_EQ(movieDecoderBuild(), "libavcodec " + std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." +
                                     std::to_string(LIBAVCODEC_VERSION_MINOR) + "." +
                                     std::to_string(LIBAVCODEC_VERSION_MICRO) + " / " + avcodec_configuration());
}

// ---- DriverCursor::open and openPrior --------------------------------------

// A bundle directory of nt frames with the given manifest keys and members
// (name -> fixture member path); the manifest record is filled directly.
Manifest bundle(const std::string& name, int nt, const std::string& keys,
                const std::vector<std::pair<std::string, std::string>>& members) {
  Manifest m;
  m.dir = dir() + "/" + name;
  m.NT = nt, m.W = kW, m.H = kH, m.crop = kCrop;
  fs::mkdirs(m.dir);
  writeFile(m.dir + "/manifest.json", "{\"format\": \"le-bundle-v0\"" + keys + "}");
  for (const auto& [as, from] : members) {  // copies: a symbolic link out of a bundle is refused
    std::error_code ec;
    std::filesystem::copy(from, m.dir + "/" + as, std::filesystem::copy_options::recursive, ec);
    EXPECT_FALSE(ec) << as << ": " << ec.message();
  }
  return m;
}

std::string opened(const std::function<std::unique_ptr<DriverCursor>()>& open, std::unique_ptr<DriverCursor>& c) {
  testing::internal::CaptureStderr();
  const std::string err = errorOf([&] { c = open(); });
  const std::string log = testing::internal::GetCapturedStderr();
  return err == "(no error)" ? log : "error: " + err;
}

// Named apart from the DriverCursor* suites: these decode real members on
// FFmpeg's own frame threads, which the thread sanitizer cannot follow.
TEST(OpenDriver, MemberChoiceLogLinesAndFrameExactPulls) {
  ScopedEnv noPrefer("LE_DRIVER_PREFER_MP4", std::nullopt), noHw("LE_DRIVER_HWDEC", "0");
  const std::string jpg = member("jpg12", "jpgdir", {"--nt", "12"});
  std::unique_ptr<DriverCursor> c;
  const Manifest plain = bundle("plain", kNT, "", {{"target_frames.mp4", mp4()}});
  std::string log = opened([&] { return DriverCursor::open(plain, 2, 3); }, c);
  EXPECT_EQ(log.substr(log.find("\n[le-driver] ") + 1),
            "[le-driver] target_frames.mp4 decoded IN PLACE (mp4/libavcodec h264, 12 frames 64x48, look-ahead 2, "
            "history 3) — no frame of the driver is expanded ahead of the paste\n");
  std::vector<uint8_t> rgb(c->frameBytes());
  for (int k = 0; k < kNT + 3; ++k) {  // through real decoders, looping
    EXPECT_EQ(c->pull(rgb.data()), k % kNT);
    ASSERT_EQ(frameCode(rgb.data(), kW, kH), k % kNT) << k;
  }
  // Frame 11, four pulls back, is still in the history of 3 the cursor was opened with.
  EXPECT_EQ(c->pullAt(kNT - 1, rgb.data()), kNT - 1);
  EXPECT_EQ(c->seeks(), 0);
  // A populated JPEG directory wins unless the MP4 is asked for exactly.
  const Manifest both = bundle("both", kNT, "", {{"target_frames.mp4", mp4()}, {"target_frames", jpg}});
  for (const char* prefer : {"true", "1"}) {
    ScopedEnv env("LE_DRIVER_PREFER_MP4", prefer);
    log = opened([&] { return DriverCursor::open(both, 1, 0); }, c);
    if (std::string(prefer) == "1") {
      EXPECT_EQ(log.substr(0, log.find('\n') + 1),
                "[le-driver] LE_DRIVER_PREFER_MP4=1 — target_frames/ is populated and NOT used; target_frames.mp4 is "
                "the member this consumer reads\n");
      EXPECT_EQ(c->sourceName(), "mp4/libavcodec h264");
    } else {
      EXPECT_EQ(log, "[le-driver] target_frames/ (raw jpg, 12 frames) — read one frame per pull\n");
      EXPECT_EQ(c->sourceName(), "jpg/stb");
    }
    for (int k = 0; k < kNT + 2; ++k) ASSERT_EQ(frameCode(c->pull(static_cast<int*>(nullptr)), kW, kH), k % kNT);
  }
  // Member names come from the manifest; a directory without its last frame
  // is not populated.
  const std::string keys = ", \"target_frames\": \"frames\", \"target_frames_mp4\": \"drv.mp4\"";
  const Manifest named = bundle("named", kNT + 1, keys, {{"frames", jpg}});
  EXPECT_EQ(opened([&] { return DriverCursor::open(named, 2, 11); }, c),
            "error: this bundle carries neither a populated frames/ nor drv.mp4 (" + named.dir +
                "/drv.mp4) — there is no driver video to play. REFUSING to create a session.");
  const Manifest renamed = bundle("renamed", kNT, keys, {{"drv.mp4", mp4()}});
  EXPECT_NE(opened([&] { return DriverCursor::open(renamed, -3, -3); }, c)
                .find("[le-driver] drv.mp4 decoded IN PLACE (mp4/libavcodec h264, 12 frames 64x48, look-ahead 1, history 0)"),
            std::string::npos);
}

// A short driver is the cursor's refusal (its scripted-source tests).
TEST(OpenDriver, ThePriorMemberItsRefusalAndFrameExactPulls) {
  ScopedEnv noHw("LE_DRIVER_HWDEC", "0");
  std::unique_ptr<DriverCursor> c;
  Manifest m = bundle("prior", kNT, "", {});
  EXPECT_EQ(opened([&] { return DriverCursor::openPrior(m, 2, 11); }, c),
            "error: this bundle carries neither a raw P.f16 nor P_hevc.mov (" + m.dir +
                "/P_hevc.mov) — there is no warp prior to play. REFUSING to create a session.");
  m = bundle("prior2", kNT, ", \"P_hevc\": \"prior.mov\"", {{"prior.mov", prior()}});
  const std::string log = opened([&] { return DriverCursor::openPrior(m, 2, 0); }, c);
  EXPECT_EQ(log.substr(log.find("quillFin")), "quillFin: identity source ready — 12 frames 48x48, played straight from "
                                              "prior.mov (hevc444/libavcodec hevc); nothing is unpacked to disk\n");
  EXPECT_EQ(c->frameBytes(), uint64_t(kCrop * kCrop * 6));
  for (int k = 0; k < kNT + 2; ++k) {
    int idx = -1;
    const uint8_t* f = c->pull(&idx);
    ASSERT_EQ(std::make_pair(idx, frameCode(f, kCrop, kCrop, true)), std::make_pair(k % kNT, k % kNT));
  }
}

}  // namespace
}  // namespace le
