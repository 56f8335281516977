// The error convention and the handle-free entry points of the le_ family.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "le/capi.h"
#include "le/le.h"
#include "testkit/log_lines.h"
#include "testkit/testkit.h"

namespace {

using le::capi::Family;
using le::test::TempDir;
using le::test::writeFile;

// Exceptions and refusals with their messages: every entry point's tables.
TEST(ErrorConvention, CatchesEverythingAndNamesTheFunction) {
  EXPECT_EQ(le::capi::guard(Family::Core, "le_y", 0, [](const auto&) -> int { throw 42; }), 0);
  EXPECT_STREQ(le_last_error(), "le_y: unknown error");
}

TEST(ErrorConvention, FamiliesAndThreadsAreSeparate) {
  le::capi::guard(Family::Utt, "le_utt_x", -1, [](const auto& c) { return c.reject("bad"); });
  le::capi::guard(Family::Core, "le_x", -1, [](const auto&) { return 1; });
  EXPECT_STREQ(le::capi::lastErrorText(Family::Utt), "le_utt_x: bad");
  EXPECT_STREQ(le_last_error(), "");
  le::capi::guard(Family::Core, "le_x", -1, [](const auto& c) { return c.reject("main"); });
  std::string seen = "unset";
  std::thread([&] {
    const char* e = le_last_error();
    seen = e ? e : "null";
  }).join();
  EXPECT_EQ(seen, "");
  EXPECT_STREQ(le_last_error(), "le_x: main");
}

TEST(ErrorConvention, CopyOutTerminatesOrEmpties) {
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_TRUE(le::capi::copyOut("abc", buf, 4));
  EXPECT_STREQ(buf, "abc");
  EXPECT_FALSE(le::capi::copyOut("abcd", buf, 4));
  EXPECT_STREQ(buf, "");
  EXPECT_FALSE(le::capi::copyOut("a", nullptr, 4));
  buf[0] = 'q';
  EXPECT_FALSE(le::capi::copyOut("a", buf, 0));
  EXPECT_EQ(buf[0], 'q');
}

TEST(KeypointRows, AlwaysTwentyOne) { EXPECT_EQ(le_host_kp_rows(), 21); }

TEST(Version, IsTheProjectsVersion) { EXPECT_STREQ(le_version(), LE_TEST_PROJECT_VERSION); }

class ResolveC : public testing::Test {
 protected:
  TempDir t;
  le::test::ScopedEnv noRoot{"LE_IMX_UNWRAP_ROOT", std::nullopt};
  char out[4096];
};

// {call, result, what lands in out, last error}: null arguments are named,
// a short buffer is emptied, a directory resolves to itself, a member to the
// name that is there (older names included), a damaged container fails.
TEST_F(ResolveC, ArgumentsBuffersOlderNamesAndDamagedContainers) {
  const std::string dir = t.path(), bad = t / "bad.imx";
  writeFile(t / "paste_transform.f32", "m");
  writeFile(bad, le::test::imxBytes({{"m", "payload"}}).substr(0, 12));
  const std::string handle = "le_bundle_resolve_handle: NULL path/out or cap 0",
                    member = "le_bundle_resolve_member: NULL bundle/member/out or cap 0",
                    truncated = ": " + bad + ": truncated TOC offsets at member m";
  const struct {
    std::function<int()> call;
    int result;
    std::string out, message;
  } cases[] = {
      {[&] { return le_bundle_resolve_handle(nullptr, out, sizeof out); }, -1, "stale", handle},
      {[&] { return le_bundle_resolve_handle("x", nullptr, 10); }, -1, "stale", handle},
      {[&] { return le_bundle_resolve_handle("x", out, 0); }, -1, "stale", handle},
      {[&] { return le_bundle_resolve_member(nullptr, "m", out, sizeof out); }, -1, "stale", member},
      {[&] { return le_bundle_resolve_member("x", nullptr, out, sizeof out); }, -1, "stale", member},
      {[&] { return le_bundle_resolve_member("x", "m", nullptr, sizeof out); }, -1, "stale", member},
      {[&] { return le_bundle_resolve_member("x", "m", out, 0); }, -1, "stale", member},
      {[&] { return le_bundle_resolve_handle(dir.c_str(), out, sizeof out); }, 1, dir, ""},
      {[&] { return le_bundle_resolve_handle(dir.c_str(), out, dir.size()); }, -1, "", "le_bundle_resolve_handle: buffer too small"},
      {[&] { return le_bundle_resolve_handle(dir.c_str(), out, dir.size() + 1); }, 1, dir, ""},
      {[&] { return le_bundle_resolve_member(dir.c_str(), "M.f32", out, sizeof out); }, 1, t / "paste_transform.f32", ""},
      {[&] { return le_bundle_resolve_member(dir.c_str(), "absent.bin", out, sizeof out); }, 0, t / "absent.bin", ""},
      {[&] { return le_bundle_resolve_member(dir.c_str(), "absent.bin", out, 5); }, -1, "", "le_bundle_resolve_member: buffer too small"},
      {[&] { return le_bundle_resolve_member(bad.c_str(), "m", out, sizeof out); }, -1, "", "le_bundle_resolve_member" + truncated},
      {[&] { return le_bundle_resolve_handle(bad.c_str(), out, sizeof out); }, -1, "", "le_bundle_resolve_handle" + truncated},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::strcpy(out, "stale");
    le::capi::guard(Family::Core, "le_x", -1, [](const auto& c) { return c.reject("earlier failure"); });
    EXPECT_EQ(cases[i].call(), cases[i].result) << "case " << i;
    EXPECT_EQ(std::string(out), cases[i].out) << "case " << i;
    EXPECT_EQ(std::string(le_last_error()), cases[i].message) << "case " << i;
  }
}

// Member names that lead outside the bundle are refused, naming the member;
// names that stay inside, through ".." or a link, resolve.
TEST_F(ResolveC, MembersOutsideTheBundleAreRefused) {
  TempDir outside;
  writeFile(outside / "secret", "s");
  writeFile(t / "inside.bin", "i");
  ASSERT_EQ(::mkdir((t / "sub").c_str(), 0755), 0);
  ASSERT_EQ(::symlink((outside / "secret").c_str(), (t / "out_link").c_str()), 0);
  ASSERT_EQ(::symlink(outside.path().c_str(), (t / "out_dir").c_str()), 0);
  ASSERT_EQ(::symlink("inside.bin", (t / "in_link").c_str()), 0);
  const std::string dir = t.path();
  auto refused = [&](const std::string& name, const std::string& reason) {
    return "le_bundle_resolve_member: member '" + name + "' leaves the bundle directory " + dir + " (" +
           reason + ") — refusing";
  };
  const struct {
    std::string member;
    int result;
    std::string path;     // written to out when result >= 0
    std::string message;  // last error when result is -1
  } cases[] = {
      {"../../../../etc/passwd", -1, "", refused("../../../../etc/passwd", "'..' climbs above it")},
      {"sub/../../x", -1, "", refused("sub/../../x", "'..' climbs above it")},
      {"/etc/passwd", -1, "", refused("/etc/passwd", "an absolute path")},
      {"out_link", -1, "", refused("out_link", "through a symbolic link to " + outside / "secret")},
      {"out_dir/secret", -1, "", refused("out_dir/secret", "through a symbolic link to " + outside / "secret")},
      {"out_dir/absent", -1, "", refused("out_dir/absent", "through a symbolic link to " + outside.path())},
      {"sub/../inside.bin", 1, dir + "/sub/../inside.bin", ""},
      {"in_link", 1, dir + "/in_link", ""},
      {"sub/absent", 0, dir + "/sub/absent", ""},  // FIFOs and directories: the readable table
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.member);
    std::strcpy(out, "stale");
    EXPECT_EQ(le_bundle_resolve_member(dir.c_str(), c.member.c_str(), out, sizeof out), c.result);
    EXPECT_EQ(std::string(out), c.path);
    EXPECT_EQ(std::string(le_last_error()), c.message);
  }
}

// The unwrap line goes to the host's sink while one is set and to standard
// error, byte for byte, once le_log_set(NULL, NULL) restores the default.
TEST_F(ResolveC, TheUnwrapLineFollowsTheLogSink) {
  const std::string a = t / "a.imx", b = t / "b.imx";
  writeFile(a, le::test::imxBytes({{"m", "1"}}));
  writeFile(b, le::test::imxBytes({{"m", "2"}}));
  testing::internal::CaptureStderr();
  std::vector<std::pair<int, std::string>> seen;
  {
    le::test::LogLines log;
    EXPECT_STREQ(le_last_error(), "");
    ASSERT_EQ(le_bundle_resolve_handle(a.c_str(), out, sizeof out), 1);
    seen = log.lines();
  }
  ASSERT_EQ(le_bundle_resolve_handle(b.c_str(), out, sizeof out), 1);
  EXPECT_EQ(std::string(out), t / "b.lebundle");  // a container resolves to its unwrap
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[le] unwrapped " + b + " -> " + (t / "b.lebundle") + "\n");
  EXPECT_EQ(seen, (std::vector<std::pair<int, std::string>>{{LE_LOG_INFO, "[le] unwrapped " + a + " -> " + (t / "a.lebundle")}}));
}

}  // namespace
