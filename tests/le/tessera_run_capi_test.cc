// le_tessera_run and le_tessera_run_shift: every refusal and its text, the
// caller's error buffer at several sizes, outputs left alone on refusal.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "le/le_tessera.h"

namespace {

// A two-donor, two-frame call on a 64 canvas (window 24 x 16, stored patches
// 20 x 16) whose arrays all have the right sizes; the head file is not a
// checkpoint. A table row may null any pointer.
struct Args {
  std::vector<uint8_t> track = std::vector<uint8_t>(2 * 20 * 16 * 3, 100), head = std::vector<uint8_t>(64, 7);
  std::vector<double> cent = {32, 38, 33, 38}, canon = {32, 38}, aperture = {1, 2};
  std::vector<int32_t> stamp = {64, 64, 20, 30, 24, 16, 4, 2, 14, 4, 20, 2}, shifts = {0, 0, -10000, 0};
  std::string json = R"({"retrieval":{"kshort":6,"aperture_tol":0.3,"cut":5,"K":4},)"
                     R"("temporal":{"hysteresis":2,"lookahead":2}})";
  std::vector<uint8_t> frames = std::vector<uint8_t>(2 * 64 * 64 * 3, 90), masks = std::vector<uint8_t>(2 * 64 * 64);
  std::vector<uint8_t> windows = std::vector<uint8_t>(2 * 24 * 16 * 3, 0xA5);
  std::vector<int32_t> pass = {-7, -7};
  int n_donors = 2, n_frames = 2;
  int64_t head_len = 64;
  bool null[11] = {};  // track, cent, canon, aperture, stamp, head, json, frames, masks, windows, pass

  template <class T>
  T* p(T* v, int i) const {
    return null[i] ? nullptr : v;
  }
  int call(bool shifted, char* err, int errlen) {
    if (shifted)
      return le_tessera_run_shift(p(track.data(), 0), n_donors, p(cent.data(), 1), p(canon.data(), 2),
                                  p(aperture.data(), 3), p(stamp.data(), 4), p(head.data(), 5), head_len,
                                  p(json.c_str(), 6), p(frames.data(), 7), p(masks.data(), 8), shifts.data(),
                                  n_frames, p(windows.data(), 9), p(pass.data(), 10), err, errlen);
    return le_tessera_run(p(track.data(), 0), n_donors, p(cent.data(), 1), p(canon.data(), 2), p(aperture.data(), 3),
                          p(stamp.data(), 4), p(head.data(), 5), head_len, p(json.c_str(), 6), p(frames.data(), 7),
                          p(masks.data(), 8), n_frames, p(windows.data(), 9), p(pass.data(), 10), err, errlen);
  }
};

TEST(TesseraRunCapi, EveryRefusalNamesItsArgument) {
  const char* names[11] = {"track", "cent", "c_canon", "aperture", "stamp", "head_pt",
                           "head_json", "frames", "masks", "out_windows", "out_passthrough"};
  std::vector<std::pair<std::function<void(Args&)>, std::string>> rows;  // change, text (or start + "...")
  for (int i = 0; i < 11; ++i)
    rows.push_back({[i](Args& a) { a.null[i] = true; }, std::string("teeth: ") + names[i] + " is null"});
  const std::string donors = "teeth: n_donors out of [1,1024]";
  rows.insert(rows.end(), {
      {[](Args& a) { a.null[8] = a.null[1] = true, a.n_donors = 0; }, "teeth: cent is null"},
      {[](Args& a) { a.n_donors = 0; }, donors},
      {[](Args& a) { a.n_donors = INT_MIN; }, donors},
      {[](Args& a) { a.n_donors = 1025; }, donors},
      {[](Args& a) { a.n_frames = -1; }, "teeth: n_frames is negative"},
      // The stamp is refused before any size is taken from it.
      {[](Args& a) { a.stamp[0] = a.stamp[1] = INT_MAX; },
       "teeth: GeometryStamp incoherent: canvas dims must be within 1..8192;"},
      {[](Args& a) { a.stamp[4] = 60; }, "teeth: GeometryStamp incoherent: window x-range escapes canvas;..."},
      {[](Args& a) { a.json = "{}"; },
       "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema..."},
      {[](Args& a) { a.json.replace(a.json.find("\"K\":4"), 5, "\"K\":0"); }, "teeth: member K out of range"},
      {[](Args&) {}, "teeth: head .pt ..."},
      {[](Args& a) { a.n_frames = 0; }, "teeth: head .pt ..."},  // no frames still builds the pass
      {[](Args& a) { a.null[5] = true, a.head_len = -5; }, "teeth: head .pt is not a zip"},  // counts as 0
  });
  for (const auto& [change, want] : rows)
    for (const bool shifted : {true, false}) {
      Args a;
      change(a);
      char err[512] = "stale";
      EXPECT_EQ(a.call(shifted, err, int(sizeof err)), 1) << want;
      const bool start = want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0;
      EXPECT_EQ(std::string(err).substr(0, start ? want.size() - 3 : std::string::npos),
                start ? want.substr(0, want.size() - 3) : want);
      EXPECT_EQ(a.pass, (std::vector<int32_t>{-7, -7})) << want;
      EXPECT_EQ(a.windows, std::vector<uint8_t>(2 * 24 * 16 * 3, 0xA5)) << want;
    }
}

TEST(TesseraRunCapi, ErrorBufferAtEverySize) {
  const std::string full = "teeth: n_donors out of [1,1024]";
  for (const int errlen : {0, 1, 2, 7, int(full.size()), int(full.size()) + 1, 200}) {
    Args a;
    a.n_donors = 0;
    std::vector<char> err(size_t(std::max(errlen, 1)) + 4, '#');
    EXPECT_EQ(a.call(true, err.data(), errlen), 1);
    if (errlen < 1) {
      EXPECT_EQ(err[0], '#') << "errlen " << errlen << ": nothing written";
      continue;
    }
    EXPECT_EQ(std::string(err.data()), full.substr(0, std::min(full.size(), size_t(errlen - 1)))) << errlen;
    EXPECT_EQ(err[size_t(errlen)], '#') << "errlen " << errlen << ": wrote past the buffer";
  }
  Args a;
  a.n_donors = 0;
  EXPECT_EQ(a.call(true, nullptr, 64), 1) << "a null buffer still fails cleanly";
}

}  // namespace
