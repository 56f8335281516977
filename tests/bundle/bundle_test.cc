// Member names, path helpers and bundle path resolution.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "le/bundle/fsutil.h"
#include "le/bundle/paths.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using test::TempDir;
using test::writeFile;

TEST(CanonicalMember, TableAndRules) {
  EXPECT_EQ(canonicalMember("M.f32"), "paste_transform.f32");
  EXPECT_EQ(canonicalMember("P_hevc.mov"), "source_frames.hevc");
  EXPECT_EQ(canonicalMember("xs_target.bin"), "target_keypoints.bin");
  EXPECT_EQ(canonicalMember("model_b4.onnx"), "render_model.batch4.onnx");
  EXPECT_EQ(canonicalMember("model_b4_fp16.onnx"), "render_model.batch4.fp16.onnx");
  EXPECT_EQ(canonicalMember("model_b8_fp16_x.onnx"), "render_model.batch8.fp16_x.onnx");
  EXPECT_EQ(canonicalMember("model_b.onnx"), "render_model.batch.onnx");
  EXPECT_EQ(canonicalMember("drive/xs.f32"), "idle_loop/source_keypoints.f32");
  EXPECT_EQ(canonicalMember("drive/xd.f32"), "idle_loop/driven_keypoints.f32");
  EXPECT_EQ(canonicalMember("drive/si.i32.bak"), "idle_loop/source_index.i32.bak");
  EXPECT_EQ(canonicalMember("drive/other.bin"), "idle_loop/other.bin");
  EXPECT_EQ(canonicalMember("drive/xs"), "idle_loop/source_keypoints");
  // Not the rules' shapes: names are their own current names.
  EXPECT_EQ(canonicalMember("model_b4.onnx.bak"), "model_b4.onnx.bak");
  EXPECT_EQ(canonicalMember("xdrive/xs.f32"), "xdrive/xs.f32");
  EXPECT_EQ(canonicalMember("manifest.json"), "manifest.json");
}

TEST(ResolveMember, PrefersRequestedThenCurrentThenRequested) {
  TempDir t;
  EXPECT_EQ(resolveMember(t.path(), "M.f32"), t / "M.f32");
  writeFile(t / "paste_transform.f32", "x");
  EXPECT_EQ(resolveMember(t.path(), "M.f32"), t / "paste_transform.f32");
  writeFile(t / "M.f32", "y");
  EXPECT_EQ(resolveMember(t.path(), "M.f32"), t / "M.f32");
  EXPECT_EQ(resolveMember(t.path(), "absent.bin"), t / "absent.bin");
  ASSERT_TRUE(fs::mkdirs(t / "idle_loop"));
  writeFile(t / "idle_loop/source_index.i32", "z");
  EXPECT_EQ(resolveMember(t.path(), "drive/si.i32"), t / "idle_loop/source_index.i32");
}

TEST(PathHelpers, SlashesAndComponents) {
  EXPECT_EQ(fs::rstripSlash("/"), "/");
  EXPECT_EQ(fs::rstripSlash("//"), "/");
  EXPECT_EQ(fs::rstripSlash("a/b//"), "a/b");
  EXPECT_EQ(fs::baseName("a/b/c.imx"), "c.imx");
  EXPECT_EQ(fs::baseName("c.imx"), "c.imx");
  EXPECT_EQ(fs::dirName("c.imx"), ".");
  EXPECT_EQ(fs::dirName("/c.imx"), "/");
  EXPECT_EQ(fs::dirName("a/b/"), "a");
  EXPECT_EQ(fs::dirName("/x/y/z"), "/x/y");
}

TEST(PathHelpers, MkdirsAndRmTree) {
  TempDir t;
  EXPECT_TRUE(fs::mkdirs(""));
  EXPECT_TRUE(fs::mkdirs("."));
  EXPECT_TRUE(fs::mkdirs(t / "a/b//c/"));
  EXPECT_TRUE(fs::isDirectory(t / "a/b/c"));
  writeFile(t / "a/b/c/f", "1");
  writeFile(t / "outside", "keep");
  ASSERT_EQ(::symlink((t / "outside").c_str(), (t / "a/link").c_str()), 0);
  ASSERT_EQ(::symlink(t.path().c_str(), (t / "a/dirlink").c_str()), 0);
  EXPECT_TRUE(fs::rmTree(t / "a"));
  EXPECT_FALSE(test::exists(t / "a"));
  EXPECT_EQ(test::readFile(t / "outside"), "keep");  // links removed, not followed
  EXPECT_TRUE(fs::rmTree(t / "never-existed"));
  writeFile(t / "file", "x");
  EXPECT_FALSE(fs::mkdirs(t / "file/sub"));
}

// readable: a regular file that opens, judged on the opened descriptor and
// never waiting (a FIFO without a writer would block a plain open); exists:
// anything at all under the name, links followed.
TEST(PathHelpers, ReadableIsARegularFileThatOpens) {
  TempDir t;
  writeFile(t / "file", "x");
  writeFile(t / "empty", "");
  ASSERT_EQ(::mkfifo((t / "fifo").c_str(), 0644), 0);
  ASSERT_TRUE(fs::mkdirs(t / "dir"));
  ASSERT_EQ(::symlink("file", (t / "to_file").c_str()), 0);
  ASSERT_EQ(::symlink("fifo", (t / "to_fifo").c_str()), 0);
  ASSERT_EQ(::symlink("gone", (t / "dangling").c_str()), 0);
  ASSERT_EQ(::symlink("/dev/null", (t / "to_device").c_str()), 0);
  const struct {
    std::string name;
    bool readable, exists;
  } cases[] = {
      {"file", true, true},      {"empty", true, true},     {"to_file", true, true},
      {"fifo", false, true},     {"to_fifo", false, true},  {"dir", false, true},
      {"to_device", false, true}, {"dangling", false, false}, {"missing", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fs::readable(t / c.name), c.readable) << c.name;
    EXPECT_EQ(fs::exists(t / c.name), c.exists) << c.name;
  }
}

TEST(IsImxV2File, MagicVersionAndKind) {
  TempDir t;
  writeFile(t / "ok.imx", test::imxBytes({}));
  writeFile(t / "v1.imx", test::imxBytes({}, 1));
  writeFile(t / "short.imx", std::string("IMX\0\2\0", 6));
  writeFile(t / "bad.imx", "IMY" + std::string(5, '\0'));
  ASSERT_TRUE(fs::mkdirs(t / "dir.imx"));
  EXPECT_TRUE(isImxV2File(t / "ok.imx"));
  EXPECT_FALSE(isImxV2File(t / "v1.imx"));
  EXPECT_FALSE(isImxV2File(t / "short.imx"));
  EXPECT_FALSE(isImxV2File(t / "bad.imx"));
  EXPECT_FALSE(isImxV2File(t / "dir.imx"));
  EXPECT_FALSE(isImxV2File(t / "missing.imx"));
  EXPECT_FALSE(isImxV2File(""));
}

TEST(ResolveBundlePath, PlainPathsPassThrough) {
  TempDir t;
  EXPECT_EQ(resolveBundlePath(""), "");
  EXPECT_EQ(resolveBundlePath(t.path()), t.path());
  EXPECT_EQ(resolveBundlePath(t / "nowhere"), t / "nowhere");
  writeFile(t / "v1.imx", test::imxBytes({{"a", "1"}}, 1));
  EXPECT_EQ(resolveBundlePath(t / "v1.imx"), t / "v1.imx");
  EXPECT_FALSE(test::exists(t / "v1.lebundle"));
}

}  // namespace
}  // namespace le
