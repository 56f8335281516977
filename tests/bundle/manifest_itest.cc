// Bundles written by the independent python fixture writer load through
// loadManifest, as directories and as containers.
#include <gtest/gtest.h>

#include "le/bundle/manifest.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using test::ScopedEnv;
using test::TempDir;

TEST(FixtureManifest, DirectoryAndContainer) {
  TempDir t;
  ScopedEnv noRoot("LE_IMX_UNWRAP_ROOT", std::nullopt);
  ScopedEnv noStampOk("CADENZA2_MSRC_MISSING_OK", std::nullopt);
  ASSERT_EQ(test::runFixture({"bundle", "--out", t / "dir", "--nt", "12", "--size", "320", "240",
                              "--crop", "96"}),
            0);
  const Manifest d = loadManifest(t / "dir");
  EXPECT_EQ(d.dir, t / "dir");
  EXPECT_EQ(d.agent, "sample");
  EXPECT_EQ(d.NT, 12);
  EXPECT_EQ(d.W, 320);
  EXPECT_EQ(d.H, 240);
  EXPECT_EQ(d.srcW, 320);
  EXPECT_EQ(d.srcH, 240);
  EXPECT_EQ(d.crop, 96);
  EXPECT_EQ(d.frames, 12);
  EXPECT_EQ(d.unsharp.amount, 1.3f);
  EXPECT_EQ(d.unsharp.sigma, 2.0f);
  EXPECT_EQ(d.unsharp.ksize, 13);

  ASSERT_EQ(test::runFixture({"bundle", "--imx", "--out", t / "id.imx", "--nt", "7"}), 0);
  testing::internal::CaptureStderr();
  const Manifest c = loadManifest(t / "id");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(c.dir, t / "id.lebundle");
  EXPECT_EQ(c.NT, 7);
  EXPECT_EQ(c.W, 256);
  EXPECT_EQ(c.crop, 128);
  // The container's unwrap is the cache: a second load reads the same directory.
  EXPECT_EQ(loadManifest(t / "id.imx").dir, c.dir);
}

}  // namespace
}  // namespace le
