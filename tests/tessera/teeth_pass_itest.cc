// The teeth pass against the independent numpy reference on drawn sequences
// (lefix tessera-case): distances, shortlists, selections, blended sets and
// held sets exactly, windows within one grey level; and the same bytes on
// every compiled target and with one or two threads.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "le/runtime/le_pool.h"
#include "le/tessera/le_tessera.h"
#include "tessera/tessera_fixtures.h"
#include "testkit/simd_each.h"

namespace {

using le::tessera::FrameResult;
using le::tessera::TeethPass;

struct FrameOut {
  bool retrieved = false;
  TeethPass::Retrieval retrieval;
  FrameResult result;
  std::vector<int> set, held;
};

// Runs every frame of the case through one pass; frame i's retrieval is read
// right after its push, its emission after the next push (or the flush).
std::vector<FrameOut> runPass(const le::test::TeethCase& c) {
  TeethPass pass(c.bank, c.head, c.cfg);
  std::vector<FrameOut> out(static_cast<size_t>(c.frames));
  auto keepEmission = [&](int i, const FrameResult& r) {
    out[i].result = r;
    out[i].set = r.passthrough ? std::vector<int>{} : pass.lastSet();
    out[i].held = pass.heldSet();
  };
  for (int i = 0; i < c.frames; ++i) {
    FrameResult r;
    const bool emitted = pass.push(i, c.canvas(i), c.mask(i), c.shift(i), &r);
    EXPECT_EQ(emitted, i > 0) << "frame " << i;
    if (emitted) keepEmission(i - 1, r);
    std::string reason;
    int dy = 0, dx = 0;
    out[i].retrieved = pass.deriveShift(c.mask(i), c.shift(i), &dy, &dx, &reason);
    if (out[i].retrieved) out[i].retrieval = pass.lastRetrieval();
  }
  FrameResult last;
  EXPECT_TRUE(pass.flush(&last));
  keepEmission(c.frames - 1, last);
  FrameResult none;
  EXPECT_FALSE(pass.flush(&none));
  return out;
}

std::vector<int> untilMinusOne(const int32_t* v, size_t n) {
  std::vector<int> out;
  for (size_t i = 0; i < n && v[i] >= 0; ++i) out.push_back(v[i]);
  return out;
}

void expectMatchesReference(const le::test::TeethCase& c, const std::vector<FrameOut>& got) {
  const size_t n = static_cast<size_t>(c.bank.n_donors), k = static_cast<size_t>(c.cfg.K);
  const size_t s = static_cast<size_t>(c.shortlist);
  const auto has = c.read<int32_t>("ret_has.i32"), shortlist = c.read<int32_t>("ret_short.i32"),
             selection = c.read<int32_t>("ret_sel.i32"), pass = c.read<int32_t>("emit_pass.i32"),
             set = c.read<int32_t>("emit_set.i32"), held = c.read<int32_t>("emit_held.i32");
  const auto coarse = c.read<float>("ret_coarse.f32"), exact = c.read<float>("ret_exact.f32"),
             peak = c.read<float>("emit_peak.f32");
  const auto window = c.read<uint8_t>("emit_window.u8");
  const std::string reasons = c.bytes("emit_reason.txt");
  const size_t wbytes = size_t(c.bank.stamp.window_w) * size_t(c.bank.stamp.window_h) * 3;
  int offByOne = 0;
  size_t line = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const FrameOut& g = got[i];
    ASSERT_EQ(g.retrieved, has[i] != 0);
    if (g.retrieved) {
      const auto& r = g.retrieval;
      ASSERT_EQ(r.coarse.size(), n);
      EXPECT_EQ(0, std::memcmp(r.coarse.data(), &coarse[i * n], n * sizeof(float))) << "coarse distances";
      EXPECT_EQ(r.shortlist, std::vector<int>(&shortlist[i * s], &shortlist[i * s] + s));
      ASSERT_EQ(r.exact.size(), s);
      for (size_t j = 0; j < s; ++j) EXPECT_EQ(r.exact[j], exact[i * s + j]) << "exact distance " << j;
      EXPECT_EQ(r.selection, std::vector<int>(&selection[i * k], &selection[i * k] + k));
    }
    const size_t eol = reasons.find('\n', line);
    const std::string reason = reasons.substr(line, eol - line);
    line = eol + 1;
    const FrameResult& res = g.result;
    EXPECT_EQ(res.passthrough, pass[i] != 0);
    EXPECT_EQ(res.reason, reason == "-" ? "" : reason);
    EXPECT_EQ(g.set, untilMinusOne(&set[i * k], k));
    EXPECT_EQ(res.donors, static_cast<int>(g.set.size()));
    EXPECT_EQ(g.held, untilMinusOne(&held[i * k], k));
    if (res.passthrough) {
      EXPECT_TRUE(res.window.empty());
      continue;
    }
    ASSERT_EQ(res.window.size(), wbytes);
    for (size_t b = 0; b < wbytes; ++b) {
      const int d = std::abs(int(res.window[b]) - int(window[i * wbytes + b]));
      ASSERT_LE(d, 1) << "window byte " << b;
      offByOne += d;
    }
    EXPECT_NEAR(res.peakMean, peak[2 * i], 1e-4);
    EXPECT_NEAR(res.peakMax, peak[2 * i + 1], 1e-4);
  }
  // One grey level at most, and only where float rounding differs.
  EXPECT_LT(offByOne, static_cast<int>(got.size() * wbytes / 100)) << "bytes one level off";
}

void expectSameBytes(const std::vector<FrameOut>& a, const std::vector<FrameOut>& b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].result.window, b[i].result.window) << what << " frame " << i;
    EXPECT_EQ(a[i].set, b[i].set) << what << " frame " << i;
    EXPECT_EQ(a[i].held, b[i].held) << what << " frame " << i;
    EXPECT_EQ(a[i].retrieval.exact, b[i].retrieval.exact) << what << " frame " << i;
  }
}

class TeethReference : public ::testing::TestWithParam<const char*> {};

TEST_P(TeethReference, EveryTargetAndThreadCountMatchesTheNumpyReference) {
  const le::test::TeethCase c(le::test::fixtureOut({"tessera-case", "--head", GetParam()}));
  std::vector<FrameOut> first;
  le::test::forEachTarget([&](const char* target) {
    const std::vector<FrameOut> got = runPass(c);
    if (first.empty()) {
      expectMatchesReference(c, got);
      first = got;
    } else {
      expectSameBytes(first, got, target);
    }
  });
  // One thread: run inside chunk 0 of a parallel call, where every nested
  // parallel call of the pass runs inline on this thread.
  if (le::pool::threads() < 2) {
    std::printf("[ threads  ] one core: the runs above were single-threaded already\n");
    return;
  }
  std::vector<FrameOut> single;
  le::pool::parallelRange(2, 1, [&](size_t begin, size_t) {
    if (begin == 0) single = runPass(c);
  });
  expectSameBytes(first, single, "one thread");
}

INSTANTIATE_TEST_SUITE_P(Heads, TeethReference, ::testing::Values("random", "random8", "matching"));

}  // namespace
