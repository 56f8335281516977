// The live pipeline on a real session: fixture bundle (crop 128) with the four
// teeth members drawn for it, fixture director, lossless H.264 driver. Idle
// frames are the driver's own frames and the context is locked while a
// pipeline drives it. The borrow: members loaded and the bank decoded as a
// host does, attached through le_utt_tessera_attach; borrowed frames differ
// from what the serial path renders only where the crop's teeth window reaches
// the frame, and inline and pipelined borrow agree byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "le/le_tessera.h"
#include "le/pipeline/session_bind.h"
#include "le/tessera/bankdec.h"
#include "pipeline/utt_fakes.h"
#include "render/renderer_fixture.h"
#include "session/session_bundle.h"

namespace le::test {
namespace {

constexpr int kNT = 6, kW = 160, kH = 144, kCrop = 128;
constexpr float kMove = 0.03f;

std::string writeBundle(const TempDir& t) {
  const std::string dir = t / "b";
  writeSessionBundle(dir, kNT, kW, kH, kCrop);
  EXPECT_EQ(runFixture({"tessera", "live", "--out", dir}), 0);
  return dir;
}

struct Members {
  le_tessera_members* m = nullptr;
  std::vector<uint8_t> donors;  // donor-ordered patches
  ~Members() { le_tessera_members_close(m); }
};

// What a host does: open the members, decode the track, put it in donor order.
void loadMembers(const std::string& dir, Members& out) {
  char err[512] = {};
  out.m = le_tessera_members_open(dir.c_str(), err, sizeof err);
  ASSERT_NE(out.m, nullptr) << err;
  const std::string track = readFile(le_tessera_members_bank_track_path(out.m));
  const int n = le_tessera_members_n_donors(out.m);
  std::vector<int> inTrackOrder(static_cast<size_t>(n));
  std::iota(inTrackOrder.begin(), inTrackOrder.end(), 0);
  const std::vector<uint8_t> frames =
      tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(), n,
                               le_tessera_members_band_h(out.m), le_tessera_members_band_w(out.m), inTrackOrder);
  out.donors.resize(frames.size());
  ASSERT_EQ(le_tessera_members_reorder(out.m, frames.data(), out.donors.data(), err, sizeof err), 0) << err;
}

int attach(le_utt* u, const Members& mb, std::string* err) {
  char e[1024] = "untouched";
  const le_tessera_members* m = mb.m;
  const int r = le_utt_tessera_attach(u, mb.donors.data(), le_tessera_members_n_donors(m), le_tessera_members_cent(m),
                                      le_tessera_members_c_canon(m), le_tessera_members_aperture(m),
                                      le_tessera_members_stamp(m), le_tessera_members_head_pt(m),
                                      le_tessera_members_head_pt_len(m), le_tessera_members_head_json(m),
                                      le_tessera_members_manifest_json(m), e, sizeof e);
  *err = e;
  return r;
}

struct Pulled { le_utt_frame_info info; std::vector<uint8_t> rgb; };

bool pullOne(le_utt* u, Pulled& f) {
  f.rgb.resize(size_t(kW) * kH * 3);
  for (int i = 0; i < 20000; ++i) {
    if (le_utt_pull_frame(u, f.rgb.data(), f.rgb.size(), &f.info) == 1) return true;
    std::this_thread::sleep_for(200us);
  }
  return false;
}

// Speech and the end ramp of one utterance of `frames` frames, borrowed.
std::vector<Pulled> speakBorrowed(le_ctx* ctx, const std::string& dir, const Members& mb, int pipe, int frames) {
  const std::vector<float> xs = readF32(dir + "/xs_target.bin");
  utt::Options o;
  o.motionDir = dir.c_str(), o.steadyModel = "-", o.gapS = -1;
  utt::Settings s = utt::resolveSettings(o, 2, [](const char*) -> std::optional<std::string> { return std::nullopt; });
  s.pipelinePaste = pipe;
  // The bundle's target rows moved by kMove; every utterance starts at row 0
  // whatever the pipeline's start row (which depends on when speech arrives),
  // so runs compare frame by frame.
  EngineKnobs rows;
  rows.nt = kNT, rows.xs = xs, rows.delta = kMove, rows.fromZero = true;
  auto u = std::make_unique<le_utt>();
  utt::Stages st = utt::bindSession(*ctx, s, *u);
  st.makeEngine = [&rows] { return std::make_unique<FakeEngine>(rows); };
  u->pipeline = std::make_unique<utt::Pipeline>(std::move(st), std::move(s));
  std::string err;
  EXPECT_EQ(attach(u.get(), mb, &err), 0) << err;
  EXPECT_EQ(err, "");
  char geo[256];
  EXPECT_EQ(le_utt_tessera_geometry(u.get(), geo, sizeof geo), 1);
  EXPECT_STREQ(geo, "{canvas_w=128, canvas_h=128, window_x0=32, window_y0=64, window_w=64, window_h=48, pad=8, "
                    "band_r0=4, band_r1=36, band_c0=8, band_c1=56, shift_margin=6}");
  EXPECT_EQ(uttReadyWithin(u.get(), 5000), 1) << le_utt_last_error();
  std::vector<int16_t> audio(640 * size_t(frames), 300);
  le_utt_push_audio(u.get(), audio.data(), int(audio.size()));
  le_utt_end_utterance(u.get());
  std::vector<Pulled> out;
  int ramps = 0;
  Pulled f;
  while (ramps < 6 && pullOne(u.get(), f)) {
    if (f.info.kind == LE_UTT_IDLE) continue;
    ramps += f.info.kind == LE_UTT_RAMP;
    out.push_back(f);
  }
  int64_t ok = -1, failures = -1;
  char msg[512] = {};
  EXPECT_EQ(le_utt_tessera_stats(u.get(), &ok, &failures, msg, sizeof msg), 1) << msg;
  EXPECT_EQ(failures, 0);
  EXPECT_GE(ok, int64_t(out.size()) - 1);  // the last ramp crop may still wait for its idle frame
  return out;
}

TEST(UttBorrowSession, BorrowedFramesChangeOnlyTheWindowsFootprintAndAgreeAcrossModes) {
  TempDir t;
  const std::string dir = writeBundle(t);
  Members mb;
  ASSERT_NO_FATAL_FAILURE(loadMembers(dir, mb));
  Ctx ctx{le_create(dir.c_str(), "plain", 2, "")};
  ASSERT_NE(ctx.p, nullptr) << le_last_error();

  const std::vector<Pulled> inl = speakBorrowed(ctx.p, dir, mb, 0, 10);
  const std::vector<Pulled> pip = speakBorrowed(ctx.p, dir, mb, 1, 10);
  ASSERT_EQ(inl.size(), 16u);
  ASSERT_EQ(pip.size(), 16u);
  for (size_t i = 0; i < inl.size(); ++i) {
    EXPECT_EQ(std::make_pair(inl[i].info.kind, inl[i].info.driver_index),
              std::make_pair(pip[i].info.kind, pip[i].info.driver_index));
    EXPECT_TRUE(inl[i].rgb == pip[i].rgb) << "frame " << i;
  }

  // The serial path renders the unborrowed frame; the footprint is every pixel
  // a change of the window's crop pixels can reach (window set to 0 and to 1).
  const int* stamp = le_tessera_members_stamp(mb.m);
  const int wx0 = stamp[2], wy0 = stamp[3], ww = stamp[4], wh = stamp[5];
  const std::vector<float> xs = readF32(dir + "/xs_target.bin");
  std::vector<float> kd(63);
  const size_t bytes = size_t(kW) * kH * 3;
  std::vector<uint8_t> plain(bytes), low(bytes), high(bytes);
  int changed = 0;
  for (const Pulled& p : inl) {
    if (p.info.kind != LE_UTT_SPEECH) continue;
    const int si = p.info.driver_index;
    const float* row = xs.data() + size_t(si) * 63;
    for (int j = 0; j < 63; ++j) kd[size_t(j)] = row[j] + kMove;
    const float* c = le_render_kp_crop(ctx.p, si, row, kd.data());
    ASSERT_NE(c, nullptr) << le_last_error();
    std::vector<float> crop(c, c + size_t(3) * kCrop * kCrop);
    ASSERT_EQ(le_paste_crop(ctx.p, si, crop.data(), plain.data(), bytes), 1) << le_last_error();
    for (const auto& [v, out] : {std::pair{0.f, &low}, {1.f, &high}}) {
      std::vector<float> w = crop;
      for (int ch = 0; ch < 3; ++ch)
        for (int y = wy0; y < wy0 + wh; ++y)
          for (int x = wx0; x < wx0 + ww; ++x) w[(size_t(ch) * kCrop + size_t(y)) * kCrop + size_t(x)] = v;
      ASSERT_EQ(le_paste_crop(ctx.p, si, w.data(), out->data(), bytes), 1) << le_last_error();
    }
    size_t outside = 0, inside = 0;
    for (size_t k = 0; k < bytes; ++k) {
      if (p.rgb[k] == plain[k]) continue;
      const bool reach = low[k] != plain[k] || high[k] != plain[k];
      (reach ? inside : outside) += 1;
    }
    EXPECT_EQ(outside, 0u) << "speech frame " << p.info.speech_number;
    changed += inside > 0;
  }
  EXPECT_GT(changed, 0) << "no speech frame got a borrowed window";
}

TEST(UttSession, CreateRulesIdleFramesAndTheContextLock) {
  TempDir t;
  const std::string dir = writeBundle(t);
  Ctx ctx{le_create(dir.c_str(), "plain", 2, "")};
  ASSERT_NE(ctx.p, nullptr) << le_last_error();

  le_utt_opts o{};
  EXPECT_EQ(le_utt_create(nullptr, &o), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: NULL ctx/opts");
  EXPECT_EQ(le_utt_create(ctx.p, &o), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: opts.motion_dir required");
  o.motion_dir = "/nowhere";
  o.threads = LE_MAX_THREADS + 1;
  EXPECT_EQ(le_utt_create(ctx.p, &o), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: opts.threads 257 above the limit of 256");
  EXPECT_EQ(ctx.p->renderer, nullptr);  // refused before the director was built

  le_utt* u = le_utt_open(ctx.p, dir.c_str());
  ASSERT_NE(u, nullptr) << le_utt_last_error();
  EXPECT_EQ(le_utt_open(ctx.p, dir.c_str()), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: context already drives a pipeline");
  const std::vector<float> kp(63, 0.f);
  EXPECT_EQ(le_render_kp_crop(ctx.p, 0, kp.data(), kp.data()), nullptr);
  EXPECT_STREQ(le_last_error(), "le_render_kp_crop: context in use by le_utt");
  EXPECT_EQ(le_target_frame(ctx.p, 0), nullptr);
  EXPECT_STREQ(le_last_error(), "le_target_frame: context in use by le_utt");

  // The bundle carries no audio models: the motion generator (no streaming
  // encoder here) refuses and idle frames flow on.
  EXPECT_EQ(uttReadyWithin(u, 5000), -1);
  EXPECT_EQ(std::string(le_utt_last_error()).rfind("le_motion_create: ", 0), 0u) << le_utt_last_error();

  std::vector<Pulled> frames(kNT + 3);
  for (Pulled& f : frames) ASSERT_TRUE(pullOne(u, f));
  le_utt_destroy(u);

  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(std::make_pair(frames[i].info.kind, frames[i].info.driver_index), std::make_pair(LE_UTT_IDLE, int(i % kNT)));
    const uint8_t* drv = le_target_frame(ctx.p, frames[i].info.driver_index);
    ASSERT_NE(drv, nullptr) << le_last_error();
    EXPECT_EQ(std::memcmp(drv, frames[i].rgb.data(), frames[i].rgb.size()), 0) << i;
  }
  u = le_utt_open(ctx.p, dir.c_str());  // the lock went with the pipeline
  EXPECT_NE(u, nullptr) << le_utt_last_error();
  le_utt_destroy(u);
}

}  // namespace
}  // namespace le::test
