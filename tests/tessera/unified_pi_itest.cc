// The compose descriptor against the numpy reference: pi bytes, boxes,
// gates and centroids per frame, the canonical centroid, and the corpus match
// with c_canon placed at chosen distances from the candidates.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "le/tessera/tessera_pi.h"
#include "tessera/tessera_fixtures.h"

namespace {

using le::tessera::Box;
using le::tessera::UnifiedPi;
using Ref = le::test::TesseraGeomRef;

TEST(UnifiedPiReference, BytesBoxesGatesCentroidsPerFrame) {
  const Ref& ref = Ref::get();
  const int c = ref.canvas;
  const size_t n = size_t(c) * size_t(c);
  for (const std::string g : {"v1", "v2", "v3", "cr"}) {
    SCOPED_TRACE("geometry " + g);
    const UnifiedPi u = UnifiedPi::fromManifestJson(ref.text("manifest_" + g + ".json"), c);
    EXPECT_EQ(u.corner_recovery, g == "cr");
    const auto pi = ref.array<uint8_t>("pi_" + g + ".u8");
    const auto boxes = ref.array<int32_t>("box_" + g + ".i32");
    const auto cents = ref.array<double>("cent_" + g + ".f64");
    const auto gates = ref.array<double>("gate_" + g + ".f64");
    ASSERT_EQ(pi.size(), n * size_t(ref.frames));
    int differing = 0;
    for (int f = 0; f < ref.frames; ++f) {
      SCOPED_TRACE("frame " + std::to_string(f) + " (" + ref.labels[size_t(f)] + ")");
      std::vector<uint8_t> full(n);  // the boxed form equals it: unified_pi_test
      u.piU8(ref.frame(f), full.data());
      const uint8_t* want = pi.data() + size_t(f) * n;
      for (size_t i = 0; i < n; ++i) {
        ASSERT_LE(std::abs(int(full[i]) - int(want[i])), 1) << "pixel " << i % size_t(c) << "," << i / size_t(c);
        differing += full[i] != want[i];
      }
      const Box b = u.supportBox(ref.frame(f));
      const int got[4] = {b.x0, b.y0, b.x1, b.y1};
      for (int k = 0; k < 4; ++k) EXPECT_NEAR(got[k], boxes[size_t(4 * f + k)], 1) << "box side " << k;
      float gate = -1.f;
      u.gateParams(ref.frame(f), &gate);
      EXPECT_NEAR(gate, gates[size_t(f)], 1e-4);
      double cx = 0, cy = 0;
      const bool found = u.piU8Centroid(full.data(), &cx, &cy);
      ASSERT_EQ(found, cents[size_t(3 * f)] != 0.0);
      if (found) {
        EXPECT_NEAR(cx, cents[size_t(3 * f + 1)], 0.05);
        EXPECT_NEAR(cy, cents[size_t(3 * f + 2)], 0.05);
      }
    }
    // Float against double: only a few rounding ties may land apart.
    EXPECT_LT(differing, int(n) * ref.frames / 1000) << differing << " bytes differ by one";
  }
}

// The boxed canonical centroid is the full-canvas one, exactly, and matches
// the reference.
TEST(UnifiedPiReference, CanonicalCentroid) {
  const Ref& ref = Ref::get();
  const int c = ref.canvas;
  for (const std::string g : {"v1", "v2", "v3", "cr"}) {
    const UnifiedPi u = UnifiedPi::fromManifestJson(ref.text("manifest_" + g + ".json"), c);
    double cx = 0, cy = 0;
    u.canonicalCentroid(ref.kp.data(), ref.labelled, &cx, &cy);
    double sx = 0, sy = 0;
    int count = 0;
    std::vector<uint8_t> mask(size_t(c) * size_t(c));
    for (int f = 0; f < ref.labelled; ++f) {
      u.piU8(ref.frame(f), mask.data());
      double x, y;
      if (!u.piU8Centroid(mask.data(), &x, &y)) continue;
      sx += x, sy += y, ++count;
    }
    ASSERT_GT(count, ref.labelled / 2);
    EXPECT_EQ(cx, sx / count) << g;
    EXPECT_EQ(cy, sy / count) << g;
    const auto canon = ref.array<double>("canon_" + g + ".f64");
    EXPECT_NEAR(cx, canon[0], 0.05) << g;
    EXPECT_NEAR(cy, canon[1], 0.05) << g;
  }
}

struct Point {
  double x, y;
};

Point centroidOf(const UnifiedPi& base, const char* name, const Ref& ref) {
  UnifiedPi u = base;
  for (const auto& g : le::tessera::kPiCorpus)
    if (std::string(g.name) == name) u.pad_x = g.pad_x, u.pad_y = g.pad_y, u.down = g.down;
  Point p{};
  u.canonicalCentroid(ref.kp.data(), ref.labelled, &p.x, &p.y);
  return p;
}

double dist(Point a, Point b) { return std::hypot(a.x - b.x, a.y - b.y); }

// The point at distance ra from a and rb from b (left of a -> b).
Point placed(Point a, Point b, double ra, double rb) {
  const double d = dist(a, b);
  const double along = (ra * ra - rb * rb + d * d) / (2 * d);
  const double across = std::sqrt(std::max(0.0, ra * ra - along * along));
  const double ux = (b.x - a.x) / d, uy = (b.y - a.y) / d;
  return {a.x + along * ux - across * uy, a.y + along * uy + across * ux};
}

TEST(UnifiedPiCorpus, MatchAmbiguityAndNoMatch) {
  const Ref& ref = Ref::get();
  const int c = ref.canvas;
  const std::string manifest = ref.text("manifest_v2.json");
  const UnifiedPi base = UnifiedPi::fromManifestJson(manifest, c);
  const Point v1 = centroidOf(base, "v1", ref), v2 = centroidOf(base, "v2", ref),
              v3 = centroidOf(base, "v3", ref);
  const double d12 = dist(v1, v2), d23 = dist(v2, v3);
  EXPECT_NEAR(d12, 4.7, 0.3);  // the two downs differ by 0.059: 4.7 px at 160
  // v2 and v3 differ only in the horizontal pad, which leaves a symmetric
  // mouth's centroid in place: they cannot be told apart by it.
  EXPECT_LT(d23, 0.5);

  auto run = [&](Point canon, std::string* name) {
    const double cc[2] = {canon.x, canon.y};
    return le::test::errorOf([&] {
      const UnifiedPi u =
          UnifiedPi::corpusFromManifestJson(manifest, c, ref.kp.data(), ref.labelled, cc, name);
      EXPECT_EQ(u.pad_x, *name == "v1" ? 0.05f : 0.1f);
    });
  };
  std::string name;
  // 2.0 and 5.5 px: the first is taken.
  EXPECT_EQ(run(placed(v1, v2, 2.0, 5.5), &name), "(no error)");
  EXPECT_EQ(name, "v1");
  // 2.0 and 4.9 px: ambiguous.
  const std::string amb = run(placed(v1, v2, 2.0, 4.9), &name);
  EXPECT_EQ(amb.rfind("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) — v1=2.00px v", 0), 0u) << amb;
  EXPECT_NE(amb.find(" v2=4.90px"), std::string::npos) << amb;
  EXPECT_NE(amb.find(" — refusing to guess the bank frame"), std::string::npos) << amb;
  // Nearest v2: v3 is as near, so never unambiguous on these frames.
  const std::string amb23 = run(placed(v2, v1, 2.0, 5.5), &name);
  EXPECT_EQ(amb23.rfind("teeth-pi: corpus pi geometry is AMBIGUOUS", 0), 0u) << amb23;
  // 8.01 px from the nearest, the others further: nothing matches.
  const double ux = (v1.x - v2.x) / d12, uy = (v1.y - v2.y) / d12;
  const Point far{v1.x + 8.01 * ux, v1.y + 8.01 * uy};
  const std::string none = run(far, &name);
  const std::string noneHead = "teeth-pi: no corpus pi geometry matches this bank's c_canon (" +
                               le::tessera::json::fixedText(far.x, 2) + "," + le::tessera::json::fixedText(far.y, 2) +
                               ") within 8.00px — v1=8.01px v";
  EXPECT_EQ(none.rfind(noneHead, 0), 0u) << none;
  EXPECT_NE(none.find("px — the bank's pi frame is unknown and donors will NOT be placed against a frame nobody "
                      "can name"), std::string::npos) << none;
  // Just inside 8 px still matches.
  EXPECT_EQ(run({v1.x + 7.999 * ux, v1.y + 7.999 * uy}, &name), "(no error)");
  EXPECT_EQ(name, "v1");
}

}  // namespace
