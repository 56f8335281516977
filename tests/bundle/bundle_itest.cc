// Containers written by the independent python fixture writer resolve to the
// same bytes as the directory they were made from.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <map>

#include "le/le.h"
#include "testkit/testkit.h"

namespace {

using le::test::TempDir;

std::map<std::string, std::string> treeOf(const std::string& root, const std::string& rel = "") {
  std::map<std::string, std::string> out;
  DIR* d = ::opendir((root + "/" + rel).c_str());
  if (!d) return out;
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    const std::string r = rel.empty() ? n : rel + "/" + n;
    struct stat st;
    ::lstat((root + "/" + r).c_str(), &st);
    if (S_ISDIR(st.st_mode)) out.merge(treeOf(root, r));
    else out[r] = le::test::readFile(root + "/" + r);
  }
  ::closedir(d);
  return out;
}

TEST(FixtureContainer, UnwrapsToTheSourceTree) {
  TempDir t;
  le::test::ScopedEnv noRoot("LE_IMX_UNWRAP_ROOT", std::nullopt);
  ASSERT_EQ(le::test::runFixture({"bundle", "--out", t / "src", "--legacy-names", "--nt", "12"}), 0);
  ASSERT_EQ(le::test::runFixture({"imx", t / "src", "--out", t / "id.imx"}), 0);
  char out[4096];
  testing::internal::CaptureStderr();
  ASSERT_EQ(le_bundle_resolve_handle((t / "id").c_str(), out, sizeof out), 1) << le_last_error();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::string(out), t / "id.lebundle");
  const auto src = treeOf(t / "src");
  EXPECT_GE(src.size(), 7u);
  EXPECT_EQ(treeOf(out), src);

  // Older names asked for, older names stored: found as stored.
  ASSERT_EQ(le_bundle_resolve_member((t / "id.imx").c_str(), "M.f32", out, sizeof out), 1);
  EXPECT_EQ(std::string(out), t / "id.lebundle/M.f32");
  // The current name of an older one is not an alias in reverse.
  EXPECT_EQ(le_bundle_resolve_member((t / "id.imx").c_str(), "paste_transform.f32", out, sizeof out), 0);
  ASSERT_EQ(le_bundle_resolve_member((t / "id.imx").c_str(), "drive/si.i32", out, sizeof out), 1);
  EXPECT_EQ(std::string(out), t / "id.lebundle/idle_loop/source_index.i32");
}

}  // namespace
