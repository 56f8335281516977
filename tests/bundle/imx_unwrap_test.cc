// Container unwrapping: the cache marker, hostile containers and concurrency.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "le/bundle/fsutil.h"
#include "le/bundle/paths.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using le::test::errorOf;

using test::ImxEntry;
using test::TempDir;
using test::readFile;
using test::writeFile;

// Runs fn and returns the runtime_error text it throws ("" when none).
std::string resolveQuiet(const std::string& p, std::string* err = nullptr) {
  testing::internal::CaptureStderr();
  std::string d;
  try {
    d = resolveBundlePath(p);
  } catch (...) {
    std::string e = testing::internal::GetCapturedStderr();
    if (err) *err = e;
    throw;
  }
  std::string e = testing::internal::GetCapturedStderr();
  if (err) *err = e;
  return d;
}

class Unwrap : public testing::Test {
 protected:
  TempDir t;
  test::ScopedEnv noRoot{"LE_IMX_UNWRAP_ROOT", std::nullopt};
  std::string C = t / "x.imx";
  std::string D = t / "x.lebundle";
  void SetUp() override {
    writeFile(C, test::imxBytes({{"manifest.json", "{\"format\": \"le-bundle-v0\"}"},
                                 {"paste_transform.f32", std::string(24, '\1')},
                                 {"idle_loop/source_index.i32", std::string(8, '\2')}}));
  }
};

TEST_F(Unwrap, ContainerUnwrapsBesideItselfOnceAndIsReused) {
  std::string log;
  EXPECT_EQ(resolveQuiet(C, &log), D);
  EXPECT_EQ(log, "[le] unwrapped " + C + " -> " + D + "\n");
  EXPECT_EQ(readFile(D + "/paste_transform.f32"), std::string(24, '\1'));
  EXPECT_EQ(readFile(D + "/idle_loop/source_index.i32"), std::string(8, '\2'));
  struct stat st;
  ASSERT_EQ(::lstat(C.c_str(), &st), 0);
  const uint64_t ns = uint64_t(st.st_mtim.tv_sec) * 1000000000ull + st.st_mtim.tv_nsec;
  EXPECT_EQ(readFile(D + ".imx_unwrapped"), "imx-unwrapped.v2 x.imx " + std::to_string(st.st_size) +
                                                " " + std::to_string(ns) + " " +
                                                std::to_string(st.st_ino));
  EXPECT_EQ(resolveQuiet(C, &log), D);
  EXPECT_EQ(log, "");
  // Without the extension, with a trailing slash, and the unwrap directory
  // itself (a marker beside it) all lead to the same place.
  EXPECT_EQ(resolveQuiet(t / "x"), D);
  EXPECT_EQ(resolveQuiet(t / "x/"), D);
  EXPECT_EQ(resolveQuiet(t / "x.lebundle"), t / "x.lebundle");
}

TEST_F(Unwrap, UnchangedContainerIsNotReadAgain) {
  resolveQuiet(C);
  struct stat st;
  ASSERT_EQ(::lstat(C.c_str(), &st), 0);
  // Same size, time and inode, a valid header over a damaged table: a re-read
  // would fail.
  std::string junk = readFile(C).substr(0, 8) + std::string(size_t(st.st_size) - 8, 'J');
  FILE* f = std::fopen(C.c_str(), "r+b");
  ASSERT_TRUE(f);
  ASSERT_EQ(std::fwrite(junk.data(), 1, junk.size(), f), junk.size());
  std::fclose(f);
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, C.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  std::string log;
  EXPECT_EQ(resolveQuiet(C, &log), D);
  EXPECT_EQ(log, "");
}

TEST_F(Unwrap, TouchedContainerRebuildsTheDirectory) {
  resolveQuiet(C);
  writeFile(D + "/paste_transform.f32", "edited");
  writeFile(D + "/stray", "left over");
  struct stat st;
  ASSERT_EQ(::lstat(C.c_str(), &st), 0);
  timespec times[2] = {st.st_atim, st.st_mtim};
  times[1].tv_sec += 5;
  ASSERT_EQ(::utimensat(AT_FDCWD, C.c_str(), times, 0), 0);
  std::string log;
  EXPECT_EQ(resolveQuiet(C, &log), D);
  EXPECT_NE(log.find("[le] unwrapped"), std::string::npos);
  EXPECT_EQ(readFile(D + "/paste_transform.f32"), std::string(24, '\1'));
  EXPECT_FALSE(test::exists(D + "/stray"));
}

TEST_F(Unwrap, MarkerWithSurroundingWhitespaceStillValid) {
  resolveQuiet(C);
  writeFile(D + ".imx_unwrapped", " \t" + readFile(D + ".imx_unwrapped") + "\r\n");
  std::string log;
  resolveQuiet(C, &log);
  EXPECT_EQ(log, "");
  // Another size: this container's marker, but stale.
  writeFile(D + ".imx_unwrapped", "imx-unwrapped.v2 x.imx 1 2 3");
  resolveQuiet(C, &log);
  EXPECT_NE(log, "");
}

TEST_F(Unwrap, UnwrapRootFromEnvironment) {
  TempDir root;
  test::ScopedEnv env("LE_IMX_UNWRAP_ROOT", root.path() + "//");
  EXPECT_EQ(resolveQuiet(C), root / "x.lebundle");
  EXPECT_TRUE(test::exists(root / "x.lebundle.imx_unwrapped"));
  EXPECT_FALSE(test::exists(D));
  test::ScopedEnv empty("LE_IMX_UNWRAP_ROOT", "");
  EXPECT_EQ(resolveQuiet(C), D);
}

TEST_F(Unwrap, StemRules) {
  test::ScopedEnv env("LE_IMX_UNWRAP_ROOT", "/u/");
  EXPECT_EQ(imx::unwrapDir("/a/id7.imx"), "/u/id7.lebundle");
  EXPECT_EQ(imx::unwrapDir("/a/id7.lebundle"), "/u/id7.lebundle");
  EXPECT_EQ(imx::unwrapDir("/a/id7.lebundle.imx"), "/u/id7.lebundle");
  EXPECT_EQ(imx::unwrapDir("id7"), "/u/id7.lebundle");
  EXPECT_EQ(imx::markerPath("/u/id7.lebundle"), "/u/id7.lebundle.imx_unwrapped");
}

TEST_F(Unwrap, EmptyContainerGivesEmptyDirectoryAndMarker) {
  writeFile(C, test::imxBytes({}));
  EXPECT_EQ(resolveQuiet(C), D);
  EXPECT_TRUE(fs::isDirectory(D));
  EXPECT_TRUE(test::exists(D + ".imx_unwrapped"));
}

TEST_F(Unwrap, SyntheticManifestIsNotWritten) {
  writeFile(C, test::imxBytes({{"manifest.json", "{\"_imx_synthetic_manifest\": 1}"},
                               {"a/manifest.json", "{\"_imx_synthetic_manifest\": 1}"}}));
  resolveQuiet(C);
  EXPECT_FALSE(test::exists(D + "/manifest.json"));
  EXPECT_TRUE(test::exists(D + "/a/manifest.json"));
  EXPECT_TRUE(test::exists(D + ".imx_unwrapped"));
}

TEST_F(Unwrap, VersionAndMagicRefusedWhenOpenedDirectly) {
  writeFile(C, test::imxBytes({}, 1));
  EXPECT_EQ(errorOf([&] { imx::unwrapOnce(C); }), C + ": unsupported IMX container version 1");
  writeFile(C, "IMX");
  EXPECT_EQ(errorOf([&] { imx::unwrapOnce(C); }), C + ": not an IMX\\0 container");
  EXPECT_EQ(errorOf([&] { imx::unwrapOnce(t / "gone.imx"); }), "cannot stat container " + t / "gone.imx");
}

TEST_F(Unwrap, TruncatedTableOfContents) {
  const std::string full = test::imxBytes({{"abc", "payload"}});
  writeFile(C, full.substr(0, 9));  // half a name length
  EXPECT_EQ(errorOf([&] { imx::unwrapOnce(C); }), C + ": truncated TOC at member 0");
  writeFile(C, full.substr(0, 11));  // one byte of the name
  EXPECT_EQ(errorOf([&] { imx::unwrapOnce(C); }), C + ": truncated member name at 0");
  writeFile(C, full.substr(0, 20));  // half the offsets
  EXPECT_EQ(errorOf([&] { imx::unwrapOnce(C); }), C + ": truncated TOC offsets at member abc");
  // A hostile member count on a short file fails on the first missing entry.
  std::string many = test::imxBytes({{"a", "1"}});
  many[6] = char(0xff), many[7] = char(0xff);
  writeFile(C, many);
  EXPECT_EQ(errorOf([&] { imx::unwrapOnce(C); }), C + ": truncated TOC at member 1");
  EXPECT_FALSE(test::exists(D + ".imx_unwrapped"));
}

TEST_F(Unwrap, PayloadsPastTheEndAreRefusedWithoutLeftovers) {
  const uint64_t huge = ~0ull;
  struct Case {
    ImxEntry e;
    std::string why;
  } cases[] = {
      {{"m", "abc", std::nullopt, 4}, ": truncated payload for member m"},
      {{"m", "abc", 1ull << 40, std::nullopt}, ": truncated payload for member m"},
      {{"m", "abc", std::nullopt, huge}, ": truncated payload for member m"},
      {{"m", "abc", huge - 1, 2}, ": cannot seek to member m"},
  };
  for (const Case& c : cases) {
    writeFile(C, test::imxBytes({c.e}));
    EXPECT_EQ(errorOf([&] { imx::unwrapOnce(C); }), C + c.why);
    EXPECT_FALSE(test::exists(D + "/m.part"));
    EXPECT_FALSE(test::exists(D + "/m"));
    EXPECT_FALSE(test::exists(D + ".imx_unwrapped"));
  }
  // An empty member may sit anywhere inside the file.
  writeFile(C, test::imxBytes({{"empty", "", 3, 0}}));
  EXPECT_EQ(resolveQuiet(C), D);
  EXPECT_EQ(readFile(D + "/empty"), "");
}

TEST_F(Unwrap, UnsafeNamesRefuseTheWholeContainer) {
  TempDir outside;
  const std::string escape = "../" + fs::baseName(outside.path()) + "/evil";
  for (const std::string& name :
       {std::string("/etc/evil"), std::string("\\evil"), std::string("a..b"), escape,
        std::string("a/../../evil"), std::string(""), std::string("nul\0x", 5)}) {
    writeFile(C, test::imxBytes({{"ok", "1"}, {name, "pwned"}}));
    const std::string err = errorOf([&] { imx::unwrapOnce(C); });
    EXPECT_EQ(err.rfind(C + ": refusing unsafe member name '", 0), 0u) << err;
    EXPECT_FALSE(test::exists(D + ".imx_unwrapped"));
  }
  EXPECT_FALSE(test::exists(outside / "evil"));
}

TEST_F(Unwrap, SymlinkInsideOldUnwrapDirIsNotFollowed) {
  TempDir outside;
  ASSERT_TRUE(fs::mkdirs(D));
  writeFile(D + ".imx_unwrapped", "imx-unwrapped.v2 x.imx 1 2 3");  // an older unwrap of x.imx
  ASSERT_EQ(::symlink(outside.path().c_str(), (D + "/sub").c_str()), 0);
  writeFile(C, test::imxBytes({{"sub/m", "inside"}}));
  EXPECT_EQ(resolveQuiet(C), D);
  EXPECT_FALSE(test::exists(outside / "m"));
  struct stat st;
  ASSERT_EQ(::lstat((D + "/sub").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(readFile(D + "/sub/m"), "inside");
}

TEST_F(Unwrap, MemberUnderAFileMemberFails) {
  writeFile(C, test::imxBytes({{"a", "file"}, {"a/b", "x"}}));
  EXPECT_EQ(errorOf([&] { imx::unwrapOnce(C); }), "cannot create " + D + "/a");
}

TEST_F(Unwrap, ContainerNamedLikeItsDestinationIsLeftAlone) {
  const std::string lb = t / "y.lebundle";
  const std::string bytes = test::imxBytes({{"m", "1"}});
  writeFile(lb, bytes);
  std::string err;
  try {
    resolveQuiet(lb);
  } catch (const std::exception& e) {
    err = e.what();
  }
  EXPECT_NE(err.find("refusing to unwrap " + lb), std::string::npos) << err;
  EXPECT_NE(err.find("LE_IMX_UNWRAP_ROOT"), std::string::npos);
  EXPECT_EQ(readFile(lb), bytes);
  // Elsewhere it unwraps fine.
  TempDir root;
  test::ScopedEnv env("LE_IMX_UNWRAP_ROOT", root.path());
  EXPECT_EQ(resolveQuiet(lb), root / "y.lebundle");
  EXPECT_EQ(readFile(root / "y.lebundle/m"), "1");
}

TEST_F(Unwrap, TwoThreadsUnwrapOnce) {
  testing::internal::CaptureStderr();
  std::string a, b;
  std::thread t1([&] { a = resolveBundlePath(C); });
  std::thread t2([&] { b = resolveBundlePath(C); });
  t1.join();
  t2.join();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(a, D);
  EXPECT_EQ(b, D);
  EXPECT_EQ(test::countOf(log, "[le] unwrapped"), 1);
}

TEST_F(Unwrap, FailedWriteRemovesThePartFile) {
  writeFile(C, test::imxBytes({{"small", "ok"}, {"big.bin", std::string(1 << 20, 'b')}}));
  // A file-size limit below the member makes the write fail part way.
  struct rlimit old;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  void (*oldHandler)(int) = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim = old;
  lim.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lim), 0);
  const std::string err = errorOf([&] { imx::unwrapOnce(C); });
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(err == "short write materialising " + D + "/big.bin" ||
              err == "flush failed materialising " + D + "/big.bin")
      << err;
  EXPECT_FALSE(test::exists(D + "/big.bin.part"));
  EXPECT_FALSE(test::exists(D + "/big.bin"));
  EXPECT_FALSE(test::exists(D + ".imx_unwrapped"));
  EXPECT_EQ(readFile(D + "/small"), "ok");  // earlier members stay; no marker, so redone next time
  std::string log;
  EXPECT_EQ(resolveQuiet(C, &log), D);
  EXPECT_EQ(readFile(D + "/big.bin"), std::string(1 << 20, 'b'));
}

TEST_F(Unwrap, LargeMemberCrossesCopyChunks) {
  std::string big(9u << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 2654435761u >> 13);
  writeFile(C, test::imxBytes({{"big.bin", big}}));
  resolveQuiet(C);
  EXPECT_EQ(readFile(D + "/big.bin"), big);
}

}  // namespace
}  // namespace le
