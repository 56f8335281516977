// The session context on bundles written here byte by byte (frames as a
// lossless image directory, no director model): argument checks and their
// messages, getters, frame access, the mask rule, pasting a given crop, the
// intra-op rule, and create/destroy leaving no thread behind.
#include <gtest/gtest.h>

#include <functional>

#include "le/session/session.h"
#include "session/session_bundle.h"

namespace le {
namespace {

using test::pixel;
using test::BundleShape;
using test::Ctx;
using test::err;
using test::TempDir;
using test::writeBundle;
using test::writeFile;

int taskCount() { return int(test::threadNames().size()); }

// Every entry point's refusal of a null context, null arguments or an index
// outside the bundle, before any render; getters never fail and, like every
// entry point, empty the error.
TEST(SessionArgs, NullsAndIndicesOutsideTheBundleAreRefusedBeforeAnyRender) {
  TempDir t;
  const BundleShape s;
  writeBundle(t.path(), s);
  Ctx ctx(le_create(t.path().c_str(), "k", 1, nullptr));
  ASSERT_NE(ctx.p, nullptr) << err();
  le_ctx* const c = ctx.p;
  const float kp[63] = {};
  std::vector<float> crop(3 * 16 * 16, 1.0f);
  std::vector<uint8_t> out(size_t(s.w) * s.h * 3);
  const std::string nulls = "le_create: NULL bundle_dir/model_key", kpArgs = "le_render_kp_crop: bad args",
                    frameIdx = "le_render_drive_crop: bad frame index", paste = "le_paste_crop: bad args / out too small";
  const std::pair<std::function<bool()>, std::string> calls[] = {
      {[&] { return le_create("/x", nullptr, 0, nullptr) == nullptr; }, nulls},
      {[&] { return le_create(nullptr, "k", 0, nullptr) == nullptr; }, nulls},
      {[&] { return le_width(nullptr) + le_height(nullptr) + le_nt(nullptr) + le_crop(nullptr) + le_drive_frames(nullptr) == 0; }, ""},
      {[&] { return le_target_frame(nullptr, 0) == nullptr; }, "le_target_frame: bad args"},
      {[&] { return le_target_frame(c, s.nt) == nullptr; }, "le_target_frame: bad args"},
      {[&] { return le_target_frame(c, -1) == nullptr; }, "le_target_frame: bad args"},
      {[&] { return le_render_kp_crop(nullptr, 0, kp, kp) == nullptr; }, kpArgs},
      {[&] { return le_render_kp_crop(c, s.nt, kp, kp) == nullptr; }, kpArgs},
      {[&] { return le_render_kp_crop(c, 0, nullptr, kp) == nullptr; }, kpArgs},
      {[&] { return le_render_drive_crop(nullptr, 0) == nullptr; }, frameIdx},
      {[&] { return le_render_drive_crop(c, -1) == nullptr; }, frameIdx},
      {[&] { return le_render_drive_crop(c, s.frames) == nullptr; }, frameIdx},
      {[&] { return le_paste_crop(nullptr, 0, kp, out.data(), out.size()) == 0; }, paste},
      {[&] { return le_paste_crop(c, 1, crop.data(), out.data(), out.size() - 1) == 0; }, paste},
      {[&] { return le_paste_crop(c, s.nt, crop.data(), out.data(), out.size()) == 0; }, paste},
      {[&] { return le_paste_last(nullptr, 0) == nullptr; }, "le_paste_last: bad args / no prior render"},
      {[&] { return le_paste_last(c, 0) == nullptr; }, "le_paste_last: bad args / no prior render"},
      {[&] { return le_render_kp_rgba(nullptr, 0, kp, kp, out.data(), out.size()) == 0; }, "le_render_kp_rgba: NULL ctx"},
      {[&] { return le_render_drive_rgba(nullptr, 0, out.data(), out.size()) == 0; }, "le_render_drive_rgba: NULL ctx"},
  };
  for (size_t i = 0; i < std::size(calls); ++i) {
    le_target_frame(nullptr, 0);  // a stale error to be replaced
    EXPECT_TRUE(calls[i].first()) << "call " << i;
    EXPECT_EQ(err(), calls[i].second) << "call " << i;
  }
  le_destroy(nullptr);
  // A drive entry whose source index left [0, NT) after loading is named.
  c->drive.si[1] = s.nt;
  EXPECT_EQ(le_render_drive_crop(c, 1), nullptr);
  EXPECT_EQ(err(), "le_render_drive_crop: drive entry 1 names source frame 4 outside [0,4)");
}

// The mask member holds exactly crop x crop bytes, whatever its name says:
// like every other member, another size means it was made for another crop.
TEST(SessionCreate, MaskIsExactlyTheCropSquare) {
  const struct {
    int64_t bytes;
    std::string error;  // "" opens; "<path>" stands for the member's path
  } cases[] = {
      {16 * 16, ""},
      {0, "le_create: mask read failed"},
      {16 * 16 - 1, "le_create: mask read failed"},
      {16 * 16 + 1, "le_create: size mismatch <path>"},
      {32 * 32, "le_create: size mismatch <path>"},  // a mask authored for a larger crop
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    TempDir t;
    BundleShape s;
    s.maskBytes = c.bytes;
    writeBundle(t.path(), s);
    Ctx ctx(le_create(t.path().c_str(), "k", 1, nullptr));
    std::string want = c.error;
    if (const size_t at = want.find("<path>"); at != std::string::npos)
      want.replace(at, 6, t / "mask_512.u8");
    EXPECT_EQ(err(), want);
    EXPECT_EQ(ctx.p != nullptr, c.error.empty());
    if (ctx.p) {
      const std::vector<uint8_t> mask = session::readMask(loadManifest(t.path()));
      ASSERT_EQ(mask.size(), 256u);
      for (size_t i = 0; i < mask.size(); ++i) ASSERT_EQ(mask[i], uint8_t(i % 251)) << i;
    }
  }
}

TEST(SessionFrames, GettersFramesAndThePastedFootprint) {
  TempDir t;
  const BundleShape s;
  writeBundle(t.path(), s);
  Ctx ctx(le_create(t.path().c_str(), "k", 1, nullptr));
  ASSERT_NE(ctx.p, nullptr) << err();
  EXPECT_EQ(std::make_tuple(le_nt(ctx.p), le_width(ctx.p), le_height(ctx.p), le_crop(ctx.p), le_drive_frames(ctx.p)),
            std::make_tuple(s.nt, s.w, s.h, s.crop, s.frames));
  for (int si : {2, 0, 3, 2}) {
    const uint8_t* f = le_target_frame(ctx.p, si);
    ASSERT_NE(f, nullptr) << err();
    for (int y = 0; y < s.h; y += 7)
      for (int x = 0; x < s.w; x += 5)
        ASSERT_EQ(f[(size_t(y) * s.w + x) * 3 + 1], pixel(si, x, y, 1)) << si << " " << x << "," << y;
  }
  // A white crop changes the frame inside frame 1's footprint [9, 25) x [6, 22) only.
  const std::vector<float> crop(3 * 16 * 16, 1.0f);
  std::vector<uint8_t> out(size_t(s.w) * s.h * 3, 0);
  ASSERT_EQ(le_paste_crop(ctx.p, 1, crop.data(), out.data(), out.size()), 1) << err();
  EXPECT_EQ(err(), "");
  int changed = 0;
  for (int y = 0; y < s.h; ++y)
    for (int x = 0; x < s.w; ++x)
      for (int c = 0; c < 3; ++c) {
        const bool same = out[(size_t(y) * s.w + x) * 3 + c] == pixel(1, x, y, c);
        ASSERT_TRUE(same || (x >= 9 && x < 25 && y >= 6 && y < 22)) << x << "," << y;
        changed += !same;
      }
  EXPECT_GT(changed, 0);
}

// {pool, ep, intra-op threads, noted}: a caller's choice is kept without a note.
TEST(SessionRender, IntraOpRule) {
  EXPECT_EQ(session::intraThreads(4, true, "", nullptr), 4);
  for (const auto& [pool, ep, want, noted] : {std::tuple{8, "", 2, true}, {1, "", 1, true}, {8, "cuda", 8, false}}) {
    bool note = !noted;
    EXPECT_EQ(std::make_pair(session::intraThreads(pool, false, ep, &note), note), std::make_pair(want, noted)) << pool << ep;
  }
}

TEST(SessionLifetime, CreateDestroyHundredTimesLeavesNoThread) {
  TempDir t;
  writeBundle(t.path(), BundleShape{});
  const int before = taskCount();
  ASSERT_GT(before, 0);
  for (int i = 0; i < 100; ++i) {
    le_ctx* ctx = le_create(t.path().c_str(), "k", 1, nullptr);
    ASSERT_NE(ctx, nullptr) << err();
    // A pull makes sure the cursor's thread has started and has work in flight.
    ASSERT_NE(le_target_frame(ctx, i % 4), nullptr) << err();
    le_destroy(ctx);
  }
  EXPECT_EQ(taskCount(), before);
}

}  // namespace
}  // namespace le
