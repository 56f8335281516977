// le_tessera_run and le_tessera_run_shift: every refusal and its text, the
// caller's error buffer at several sizes, outputs left alone on refusal.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "le/le_tessera.h"

namespace {

// Canvas 64, window 24 x 16 at (20, 30), stored patches 20 x 16.
const int32_t kStamp[12] = {64, 64, 20, 30, 24, 16, 4, 2, 14, 4, 20, 2};
const char kJson[] =
    R"({"format":"tessera_head.v1","retrieval":{"kshort":6,"aperture_tol":0.3,"cut":5,"K":4},)"
    R"("temporal":{"hysteresis":2,"lookahead":2}})";

// Arguments of a two-donor, two-frame call whose arrays are all the right
// size; the head file is not a checkpoint.
struct Args {
  std::vector<uint8_t> track = std::vector<uint8_t>(2 * 20 * 16 * 3, 100);
  int n_donors = 2;
  std::vector<double> cent = {32, 38, 33, 38};
  std::vector<double> c_canon = {32, 38};
  std::vector<double> aperture = {1, 2};
  std::vector<int32_t> stamp = std::vector<int32_t>(kStamp, kStamp + 12);
  std::vector<uint8_t> head_pt = std::vector<uint8_t>(64, 7);
  int64_t head_pt_len = 64;
  std::string head_json = kJson;
  std::vector<uint8_t> frames = std::vector<uint8_t>(2 * 64 * 64 * 3, 90);
  std::vector<uint8_t> masks = std::vector<uint8_t>(2 * 64 * 64, 0);
  std::vector<int32_t> shifts = {0, 0, -10000, 0};
  int n_frames = 2;
  std::vector<uint8_t> out_windows = std::vector<uint8_t>(2 * 24 * 16 * 3, 0xA5);
  std::vector<int32_t> out_passthrough = {-7, -7};

  // Pointers, each of which a table row may null.
  const uint8_t* pTrack = nullptr;
  const double *pCent = nullptr, *pCanon = nullptr, *pAperture = nullptr;
  const int32_t* pStamp = nullptr;
  const uint8_t* pHead = nullptr;
  const char* pJson = nullptr;
  const uint8_t *pFrames = nullptr, *pMasks = nullptr;
  const int32_t* pShifts = nullptr;
  uint8_t* pWindows = nullptr;
  int32_t* pPass = nullptr;

  Args() { aim(); }
  void aim() {
    pTrack = track.data(), pCent = cent.data(), pCanon = c_canon.data(), pAperture = aperture.data();
    pStamp = stamp.data(), pHead = head_pt.data(), pJson = head_json.c_str();
    pFrames = frames.data(), pMasks = masks.data(), pShifts = shifts.data();
    pWindows = out_windows.data(), pPass = out_passthrough.data();
  }
  int runShift(char* err, int errlen) const {
    return le_tessera_run_shift(pTrack, n_donors, pCent, pCanon, pAperture, pStamp, pHead, head_pt_len, pJson,
                                pFrames, pMasks, pShifts, n_frames, pWindows, pPass, err, errlen);
  }
  int run(char* err, int errlen) const {
    return le_tessera_run(pTrack, n_donors, pCent, pCanon, pAperture, pStamp, pHead, head_pt_len, pJson, pFrames,
                          pMasks, n_frames, pWindows, pPass, err, errlen);
  }
};

struct Row {
  const char* what;
  std::function<void(Args&)> change;
  std::string want;  // whole text, or its start when it ends in "..."
};

void expectText(const std::string& got, const std::string& want, const char* what) {
  if (want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0)
    EXPECT_EQ(got.substr(0, want.size() - 3), want.substr(0, want.size() - 3)) << what;
  else
    EXPECT_EQ(got, want) << what;
}

TEST(TesseraRunCapi, EveryRefusalNamesItsArgument) {
  const std::vector<Row> rows = {
      {"track", [](Args& a) { a.pTrack = nullptr; }, "teeth: track is null"},
      {"cent", [](Args& a) { a.pCent = nullptr; }, "teeth: cent is null"},
      {"c_canon", [](Args& a) { a.pCanon = nullptr; }, "teeth: c_canon is null"},
      {"aperture", [](Args& a) { a.pAperture = nullptr; }, "teeth: aperture is null"},
      {"stamp", [](Args& a) { a.pStamp = nullptr; }, "teeth: stamp is null"},
      {"head_pt with a length", [](Args& a) { a.pHead = nullptr; }, "teeth: head_pt is null"},
      {"head_json", [](Args& a) { a.pJson = nullptr; }, "teeth: head_json is null"},
      {"frames", [](Args& a) { a.pFrames = nullptr; }, "teeth: frames is null"},
      {"masks", [](Args& a) { a.pMasks = nullptr; }, "teeth: masks is null"},
      {"out_windows", [](Args& a) { a.pWindows = nullptr; }, "teeth: out_windows is null"},
      {"out_passthrough", [](Args& a) { a.pPass = nullptr; }, "teeth: out_passthrough is null"},
      {"first null named first",
       [](Args& a) {
         a.pMasks = nullptr;
         a.pCent = nullptr;
         a.n_donors = 0;
       },
       "teeth: cent is null"},
      {"no donors", [](Args& a) { a.n_donors = 0; }, "teeth: n_donors out of [1,1024]"},
      {"negative donors", [](Args& a) { a.n_donors = INT_MIN; }, "teeth: n_donors out of [1,1024]"},
      {"1025 donors", [](Args& a) { a.n_donors = 1025; }, "teeth: n_donors out of [1,1024]"},
      {"negative frames", [](Args& a) { a.n_frames = -1; }, "teeth: n_frames is negative"},
      // The stamp is refused before any size is taken from it: no array is
      // read at the sizes such a stamp would name.
      {"canvas 2^31 - 1",
       [](Args& a) {
         a.stamp[0] = a.stamp[1] = INT_MAX;
         a.aim();
       },
       "teeth: GeometryStamp incoherent: canvas dims must be within 1..8192;"},
      {"window escapes", [](Args& a) { a.stamp[4] = 60, a.aim(); },
       "teeth: GeometryStamp incoherent: window x-range escapes canvas;..."},
      {"head_json without blocks", [](Args& a) { a.head_json = "{}", a.aim(); },
       "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema..."},
      {"head_json K 0",
       [](Args& a) {
         a.head_json = R"({"retrieval":{"kshort":6,"aperture_tol":0.3,"cut":5,"K":0},"temporal":{"hysteresis":0,"lookahead":0}})";
         a.aim();
       },
       "teeth: member K out of range"},
      {"head file not a checkpoint", [](Args&) {}, "teeth: head .pt ..."},
      {"negative head length counts as 0", [](Args& a) { a.pHead = nullptr, a.head_pt_len = -5; },
       "teeth: head .pt is not a zip"},
  };
  for (const Row& row : rows) {
    for (const bool shifted : {true, false}) {
      Args a;
      row.change(a);
      char err[512];
      std::memset(err, 'x', sizeof err);
      err[sizeof err - 1] = 0;
      const int rc = shifted ? a.runShift(err, int(sizeof err)) : a.run(err, int(sizeof err));
      EXPECT_EQ(rc, 1) << row.what;
      expectText(err, row.want, row.what);
      EXPECT_EQ(a.out_passthrough, (std::vector<int32_t>{-7, -7})) << row.what;
      EXPECT_EQ(a.out_windows, std::vector<uint8_t>(2 * 24 * 16 * 3, 0xA5)) << row.what;
    }
  }
}

TEST(TesseraRunCapi, ErrorBufferAtEverySize) {
  const std::string full = "teeth: n_donors out of [1,1024]";
  for (const int errlen : {0, 1, 2, 7, int(full.size()), int(full.size()) + 1, 200}) {
    Args a;
    a.n_donors = 0;
    std::vector<char> err(size_t(std::max(errlen, 1)) + 4, '#');
    EXPECT_EQ(a.runShift(err.data(), errlen), 1);
    if (errlen < 1) {
      EXPECT_EQ(err[0], '#') << "errlen " << errlen << ": nothing written";
      continue;
    }
    const size_t kept = std::min(full.size(), size_t(errlen - 1));
    EXPECT_EQ(std::string(err.data()), full.substr(0, kept)) << "errlen " << errlen;
    EXPECT_EQ(err[size_t(errlen)], '#') << "errlen " << errlen << ": wrote past the buffer";
  }
  Args a;
  a.n_donors = 0;
  EXPECT_EQ(a.runShift(nullptr, 64), 1) << "a null buffer still fails cleanly";
}

// A batch of no frames still builds the pass: a bad head fails it, a good one
// (none is at hand here) would succeed; zero frames never touch the outputs.
TEST(TesseraRunCapi, EmptyBatchStillChecksItsInputs) {
  Args a;
  a.n_frames = 0;
  char err[256] = "stale";
  EXPECT_EQ(a.runShift(err, int(sizeof err)), 1);
  EXPECT_EQ(std::string(err).rfind("teeth: head .pt", 0), 0u) << err;
  EXPECT_EQ(a.out_passthrough, (std::vector<int32_t>{-7, -7}));
}

}  // namespace
