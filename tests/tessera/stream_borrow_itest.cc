// The batch entry point on a drawn case (lefix tessera-run-case; the pass
// itself meets the numpy reference in teeth_pass_itest): its shift marks, and
// the stream borrow against it: given the masks and shifts the stream made,
// the batch emits the same windows byte for byte and leaves pass-through
// slots alone (the write-back into the crop is stream_borrow_test's).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "le/le_tessera.h"
#include "le/tessera/tessera_stream.h"
#include "tessera/tessera_fixtures.h"
#include "tessera/tessera_lips.h"

namespace {

using le::tessera::FrameResult;
using le::tessera::StreamBorrow;
using le::tessera::UnifiedPi;

constexpr int32_t kDerive = -10000;

class BatchRun : public ::testing::Test {
 protected:
  const le::test::TeethCase c{le::test::fixtureOut({"tessera-run-case"})};
  const std::string pt_ = c.bytes("head.pt"), json_ = c.bytes("head.json");

  struct Out {
    int rc = -1;
    std::string err;
    std::vector<uint8_t> windows;
    std::vector<int32_t> pass;
  };

  static size_t windowBytes(const le::tessera::BankData& b) {
    return size_t(b.stamp.window_w) * size_t(b.stamp.window_h) * 3;
  }

  // The batch over the case's frames with `masks`, `shifts` (null: le_tessera_run)
  // and the bank `b`; window slots start at 0xA5.
  Out run(const le::tessera::BankData& b, const std::vector<uint8_t>& masks, const int32_t* shifts,
          bool viaRun = false) const {
    Out o;
    o.windows.assign(size_t(c.frames) * windowBytes(b), 0xA5);
    o.pass.assign(size_t(c.frames), -1);
    const int32_t* s = &b.stamp.canvas_w;
    char err[512] = "stale";
    const auto* pt = reinterpret_cast<const uint8_t*>(pt_.data());
    o.rc = viaRun ? le_tessera_run(b.track.data(), b.n_donors, b.cent.data(), b.c_canon.data(), b.aperture.data(), s,
                                   pt, int64_t(pt_.size()), json_.c_str(), c.canvases.data(), masks.data(), c.frames,
                                   o.windows.data(), o.pass.data(), err, int(sizeof err))
                  : le_tessera_run_shift(b.track.data(), b.n_donors, b.cent.data(), b.c_canon.data(),
                                         b.aperture.data(), s, pt, int64_t(pt_.size()), json_.c_str(),
                                         c.canvases.data(), masks.data(), shifts, c.frames, o.windows.data(),
                                         o.pass.data(), err, int(sizeof err));
    o.err = err;
    return o;
  }

  // The case's shifts as pairs, not-given ones marked for derivation.
  std::vector<int32_t> casePairs() const {
    std::vector<int32_t> pairs;
    for (int i = 0; i < c.frames; ++i) {
      const int* s = c.shift(i);
      pairs.push_back(s ? s[0] : kDerive);
      pairs.push_back(s ? s[1] : 12345);  // ignored beside the mark
    }
    return pairs;
  }
};

// No shifts, all-derive pairs (the mark in dy alone) and le_tessera_run are
// one computation; given shifts reach the pass (its bounds are teeth_pass_test's).
TEST_F(BatchRun, ShiftMarksAndRangeEdges) {
  std::vector<int32_t> derive(2 * size_t(c.frames), 3);
  for (size_t i = 0; i < derive.size(); i += 2) derive[i] = kDerive;
  const Out viaNull = run(c.bank, c.masks, nullptr);
  const Out viaMarks = run(c.bank, c.masks, derive.data());
  const Out viaRun = run(c.bank, c.masks, nullptr, true);
  ASSERT_EQ(viaNull.rc, 0) << viaNull.err;
  for (const Out* o : {&viaMarks, &viaRun})
    EXPECT_TRUE(o->windows == viaNull.windows && o->pass == viaNull.pass) << (o == &viaRun ? "run" : "marks");

  const int pad = c.bank.stamp.pad;
  for (const auto& [dy, dx, pass] : std::vector<std::tuple<int32_t, int32_t, int32_t>>{{pad + 1, 0, 1}, {pad, -pad, 0}}) {
    std::vector<int32_t> pairs = casePairs();
    const size_t frame = 3;
    pairs[2 * frame] = dy, pairs[2 * frame + 1] = dx;
    const Out o = run(c.bank, c.masks, pairs.data());
    ASSERT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(o.pass[frame], pass) << "shift (" << dy << ", " << dx << ")";
  }
}

// Lips about the case's canonical centroid (canvas 256), jittered a pixel
// or two per frame so the shifts vary.
std::vector<float> mouthFrames(int n) {
  std::vector<float> kp;
  for (int f = 0; f < n; ++f) {
    const float cx = 128.f * 2.f / 255.f - 1.f + 0.012f * float(f % 3 - 1);
    const float cy = 176.f * 2.f / 255.f - 1.f + 0.01f * float(f % 5 - 2);
    const std::vector<float> k = le::test::mouthKp(cx, cy, 0.12f, 0.018f + 0.0048f * float(f % 7));
    kp.insert(kp.end(), k.begin(), k.end());
  }
  kp[5 * 63 + 3 * 12 + 1] = NAN;  // one frame without a mouth
  return kp;
}

const char kTemplate[] =
    "{\"format\":\"lip-template-v1\",\"canvas\":256,\"feather_px\":3,"
    "\"u_canon\":[[-1.1,0],[-0.6,-1.2],[0,-1.3],[0.6,-1.2],[1.1,0],[0.6,1.2],[0,1.3],[-0.6,1.2]],"
    "\"lip_idx\":[6,12,14,17,19,20]}";

TEST_F(BatchRun, StreamBorrowAgreesWithTheBatchByteForByte) {
  const int n = c.frames;
  const size_t canvas = c.canvasBytes();
  const UnifiedPi pi = le::test::piV2(c.bank.stamp.canvas_w);
  const std::vector<float> kp = mouthFrames(n);
  le::tessera::BankData bank = c.bank;
  pi.canonicalCentroid(kp.data(), n, &bank.c_canon[0], &bank.c_canon[1]);

  for (const std::string& lip : {std::string(), std::string(kTemplate)}) {
    StreamBorrow b(bank, c.head, c.cfg, pi, lip);
    std::vector<uint8_t> masks(size_t(n) * canvas);
    std::vector<int32_t> pairs(2 * size_t(n));
    std::vector<FrameResult> emitted;
    for (int f = 0; f < n; ++f) {
      std::vector<float> planes(3 * canvas);
      for (size_t p = 0; p < canvas; ++p)
        for (size_t ch = 0; ch < 3; ++ch) planes[ch * canvas + p] = float(c.canvas(f)[3 * p + ch]) / 255.f;
      FrameResult r;
      if (b.push(planes.data(), &kp[size_t(f) * 63], &r)) emitted.push_back(r);
      std::memcpy(&masks[size_t(f) * canvas], b.maskBuffer(), canvas);
      int dy = 0, dx = 0;
      const bool has = b.lastShift(&dy, &dx);
      pairs[2 * size_t(f)] = has ? dy : kDerive;
      pairs[2 * size_t(f) + 1] = dx;
    }
    FrameResult last;
    ASSERT_TRUE(b.flush(&last));
    emitted.push_back(last);
    ASSERT_EQ(emitted.size(), size_t(n));

    const Out o = run(bank, masks, pairs.data());
    ASSERT_EQ(o.rc, 0) << o.err;
    const size_t wb = windowBytes(bank);
    int borrowed = 0;
    for (int f = 0; f < n; ++f) {
      const FrameResult& r = emitted[size_t(f)];
      ASSERT_EQ(o.pass[size_t(f)], r.passthrough ? 1 : 0) << "frame " << f << (lip.empty() ? " ellipse" : " contour");
      if (r.passthrough) {
        for (size_t k = 0; k < wb; ++k) ASSERT_EQ(o.windows[size_t(f) * wb + k], 0xA5) << "pass-through slot " << f;
        continue;
      }
      ++borrowed;
      ASSERT_EQ(0, std::memcmp(r.window.data(), &o.windows[size_t(f) * wb], wb)) << "frame " << f;
    }
    EXPECT_TRUE(emitted[5].passthrough) << "the frame without lips passes through";
    EXPECT_GE(borrowed, n - 3) << (lip.empty() ? "ellipse" : "contour");
  }
}

}  // namespace
