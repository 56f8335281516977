// The lip contour against the numpy reference, with and without a fitted lip
// map: polygons, boxes, scanline fills and feathered contours per frame.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "le/tessera/lip_contour.h"
#include "tessera/tessera_fixtures.h"

namespace {

using le::tessera::Box;
using le::tessera::LipContour;
using Ref = le::test::TesseraGeomRef;

TEST(LipContourReference, PolygonBoxFillFeather) {
  const Ref& ref = Ref::get();
  const int c = ref.canvas;
  const size_t n = size_t(c) * size_t(c);
  for (const std::string t : {"plain", "map"}) {
    SCOPED_TRACE("template " + t);
    const LipContour lc = LipContour::fromTemplateJson(ref.text("lip_template_" + t + ".json"), c);
    ASSERT_EQ(lc.nv(), ref.nv);
    EXPECT_EQ(lc.mapCols(), t == "map" ? 12 : 0);
    const auto polys = ref.array<double>("poly_" + t + ".f64");
    const auto boxes = ref.array<int32_t>("lbox_" + t + ".i32");
    const auto fills = ref.array<uint8_t>("fill_" + t + ".u8");
    const auto conts = ref.array<float>("contour_" + t + ".f32");
    ASSERT_EQ(conts.size(), n * size_t(ref.frames));
    for (int f = 0; f < ref.frames; ++f) {
      SCOPED_TRACE("frame " + std::to_string(f) + " (" + ref.labels[size_t(f)] + ")");
      std::vector<double> poly(size_t(2 * lc.nv()));
      lc.polygon(ref.frame(f), poly.data());
      const double* want = polys.data() + size_t(f) * poly.size();
      for (size_t i = 0; i < poly.size(); ++i) {
        if (!std::isfinite(want[i])) {  // a non-finite anchor: any non-finite value
          EXPECT_FALSE(std::isfinite(poly[i]));
          continue;
        }
        ASSERT_NEAR(poly[i], want[i], 1e-9 * std::max(1.0, std::fabs(want[i]))) << "vertex value " << i;
      }
      const Box b = lc.box(poly.data());
      const int32_t* wb = boxes.data() + 4 * f;
      ASSERT_EQ((std::vector<int>{b.x0, b.y0, b.x1, b.y1}), (std::vector<int>{wb[0], wb[1], wb[2], wb[3]}));
      if (b.empty()) continue;
      std::vector<uint8_t> fill(size_t(b.width()) * size_t(b.height()));
      lc.fillScanline(poly.data(), b, fill.data());
      const uint8_t* wf = fills.data() + size_t(f) * n;
      for (int y = 0; y < b.height(); ++y)
        for (int x = 0; x < b.width(); ++x)
          ASSERT_EQ(fill[size_t(y * b.width() + x)], wf[size_t((y + b.y0) * c + x + b.x0)])
              << "fill at " << x + b.x0 << "," << y + b.y0;
      std::vector<float> contour(n);
      lc.contourF32Canvas(ref.frame(f), contour.data());
      const float* wc = conts.data() + size_t(f) * n;
      for (size_t i = 0; i < n; ++i)
        ASSERT_NEAR(contour[i], wc[i], 1e-5) << "contour at " << i % size_t(c) << "," << i / size_t(c);
    }
  }
}

}  // namespace
