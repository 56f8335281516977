// Reference bank tracks written by the ffmpeg CLI (python fixture): patches
// land in their donor's slot, bit-exact when lossless, within 3 levels when
// lossy with B-frames; every disagreement with the sidecar is refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "le/tessera/bankdec.h"
#include "tessera/tessera_fixtures.h"

namespace {

using le::tessera::decodeBankTrack;
using le::test::errorOf;

struct Track {
  std::string bytes;
  int n = 0, w = 0, h = 0;
  std::vector<int> order;
  std::string reference;  // donor-ordered raw patches
};

// A track of the fixture's (`lefix tessera tracks`) with its reference and order.
Track track(const std::string& name) {
  const std::string path = le::test::fixtureOut({"tessera", "tracks"}) + "/" + name;
  Track t{le::test::readFile(path), 0, 0, 0, {}, le::test::readFile(path + ".rgb")};
  std::istringstream in(le::test::readFile(path + ".order"));
  in >> t.n >> t.w >> t.h;
  for (int d; in >> d;) t.order.push_back(d);
  return t;
}
std::vector<uint8_t> decode(const Track& t, int n, int h, int w, const std::vector<int>& order) {
  return decodeBankTrack(reinterpret_cast<const uint8_t*>(t.bytes.data()), t.bytes.size(), n, h, w, order);
}
std::vector<uint8_t> decode(const Track& t) { return decode(t, t.n, t.h, t.w, t.order); }

TEST(BankTracks, LosslessPatchesAreBitExactInDonorOrder) {
  const Track t = track("lossless.mp4");
  const std::vector<uint8_t> out = decode(t);
  ASSERT_EQ(out.size(), t.reference.size());
  EXPECT_EQ(std::memcmp(out.data(), t.reference.data(), out.size()), 0);
}

TEST(BankTracks, LossyBFramesLandInTheirSlotsWithinThreeLevels) {
  const Track t = track("lossy.mp4");
  const std::vector<uint8_t> out = decode(t);
  ASSERT_EQ(out.size(), t.reference.size());
  const size_t patch = size_t(t.w) * t.h * 3;
  for (int d = 0; d < t.n; ++d) {
    const uint8_t* got = out.data() + d * patch;
    int worst = 0;
    for (size_t i = 0; i < patch; ++i)
      worst = std::max(worst, std::abs(int(got[i]) - int(uint8_t(t.reference[d * patch + i]))));
    EXPECT_LE(worst, 3) << "donor " << d;
  }
}

TEST(BankTracks, Refusals) {
  const Track lossless = track("lossless.mp4");
  const int n = lossless.n, h = lossless.h, w = lossless.w;
  // {what, track file, n, h, w, order (empty: the track's own), message}
  const std::tuple<const char*, const char*, int, int, int, std::vector<int>, std::string> cases[] = {
      {"a frame short", "short.mp4", n, h, w, {},
       "bank track decoded to " + std::to_string(n - 1) + " frames, expected " + std::to_string(n) +
           " — geometry/N mismatch, refusing to serve"},
      {"a frame over", "over.mp4", n, h, w, {},
       "bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, "
       "refusing to serve"},
      {"64x48 against a 64x64 stamp", "size64x48.mp4", n, 64, 64, {},
       "reference bank track is 64x48, the geometry stamp says 64x64 — geometry mismatch, refusing "
       "to serve"},
      {"pixel format changes", "mixed.h264", n, h, w, {},
       "reference bank frame changed pixel format mid-track — refusing to serve"},
      {"MPEG-TS is not self-contained", "lossless.ts", n, h, w, {},
       "reference bank track is not a readable container — refusing to serve"},
      {"order repeats a donor", "lossless.mp4", 3, h, w, {0, 0, 2},
       "reference bank track_order is not a permutation — refusing to serve"},
      {"order names donor 3 of 3", "lossless.mp4", 3, h, w, {0, 3, 1},
       "reference bank track_order is out of range — refusing to serve"},
      {"order names donor -1", "lossless.mp4", 3, h, w, {0, -1, 1},
       "reference bank track_order is out of range — refusing to serve"},
      {"order too short", "lossless.mp4", n, h, w, {0, 1},
       "reference bank sidecar track_order has 2 entries, expected " + std::to_string(n) +
           " — sidecar/track mismatch, refusing to serve"},
      {"no donors", "lossless.mp4", 0, h, w, {}, "reference bank geometry is not positive — refusing to serve"},
      {"negative width", "lossless.mp4", n, h, -w, {},
       "reference bank geometry is not positive — refusing to serve"},
      {"1025 donors", "lossless.mp4", 1025, h, w, {},
       "reference bank geometry is too large — refusing to serve"},
      {"over 1 GiB", "lossless.mp4", 1024, 16384, 16384, {},
       "reference bank geometry is too large — refusing to serve"},
  };
  for (const auto& [what, file, cn, ch, cw, given, expected] : cases) {
    const Track t = track(file);
    std::vector<int> order = given.empty() ? t.order : given;
    if (given.empty() && cn != t.n) order.assign(size_t(std::max(cn, 0)), 0);
    EXPECT_EQ(errorOf([&] { decode(t, cn, ch, cw, order); }), expected) << what;
  }
}

TEST(BankTracks, EmptyAndForeignInputs) {
  const std::string empty = "reference bank track is empty — refusing to serve";
  const std::string unreadable = "reference bank track is not a readable container — refusing to serve";
  // One donor of 8 x 8 from `size` bytes at `data`.
  const auto error = [](const void* data, size_t size) {
    return errorOf([&] { decodeBankTrack(static_cast<const uint8_t*>(data), size, 1, 8, 8, {0}); });
  };
  const uint8_t junk[64] = {1, 2, 3};
  EXPECT_EQ(error(nullptr, 10), empty);
  EXPECT_EQ(error(junk, 0), empty);
  EXPECT_EQ(error(junk, sizeof junk), unreadable);
  // A playlist would make the demuxer open other files: never probed.
  const std::string m3u = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n/etc/hostname\n#EXT-X-ENDLIST\n";
  EXPECT_EQ(error(m3u.data(), m3u.size()), unreadable);
  le::test::TempDir t;
  ASSERT_EQ(le::test::runFixture({"video", "audio-only", "--out", t / "a.mov"}), 0);
  const std::string mov = le::test::readFile(t / "a.mov");
  EXPECT_EQ(error(mov.data(), mov.size()), "reference bank track has no video stream — refusing to serve");
}

// A damaged track decodes to a full bank or is refused with a listed text.
bool listed(const std::string& msg) {
  static const char* const kPrefixes[] = {
      "reference bank track is not a readable container", "reference bank track carries no stream info",
      "reference bank track has no video stream",          "reference bank track is ",
      "no decoder for the reference bank track",            "reference bank decode: ",
      "reference bank frame changed ",                      "bank track carries more frames",
      "bank track decoded to ",
  };
  for (const char* p : kPrefixes)
    if (msg.rfind(p, 0) == 0) return true;
  return false;
}

TEST(BankTracks, DamagedTracksDecodeWholeOrAreRefused) {
  const Track t = track("lossless.mp4");
  const size_t size = t.bytes.size();
  for (size_t k = 1; k < 64; ++k) {
    Track cut = t;
    cut.bytes.resize(size * k / 64);
    Track flip = t;
    flip.bytes[(size * k / 64) % size] ^= 0x5A;
    for (const Track* d : {&cut, &flip}) {
      try {
        EXPECT_EQ(decode(*d).size(), t.reference.size());
      } catch (const std::runtime_error& e) {
        EXPECT_TRUE(listed(e.what())) << k << ": " << e.what();
      }
    }
  }
}

TEST(BankDecoderBuild, NamesTheLinkedLibavcodec) {
  // The library built against the libavcodec it runs with (one install here).
  const unsigned v = avcodec_version();
  const std::string version = std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xFF) + "." +
                              std::to_string(v & 0xFF);
  const std::string b = le::tessera::bankDecoderBuild();
  EXPECT_EQ(b.rfind("libavcodec " + version + " / ", 0), 0u) << b;
  EXPECT_GT(b.size(), std::string("libavcodec 1.2.3 / ").size());
}

}  // namespace
