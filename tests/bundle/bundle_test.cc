// Member names, path helpers, bundle path resolution and container
// unwrapping: the cache marker, hostile containers and concurrency.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "le/bundle/fsutil.h"
#include "le/bundle/paths.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using test::errorOf;
using test::exists;
using test::ImxEntry;
using test::readFile;
using test::ScopedEnv;
using test::TempDir;
using test::writeFile;

TEST(CanonicalMember, TableAndRules) {
  const std::pair<const char*, const char*> cases[] = {
      {"M.f32", "paste_transform.f32"}, {"P_hevc.mov", "source_frames.hevc"}, {"xs_target.bin", "target_keypoints.bin"},
      {"P.f16", "source_frames.f16"}, {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
      {"model_b4.onnx", "render_model.batch4.onnx"}, {"model_b4_fp16.onnx", "render_model.batch4.fp16.onnx"},
      {"model_b8_fp16_x.onnx", "render_model.batch8.fp16_x.onnx"}, {"model_b.onnx", "render_model.batch.onnx"},
      {"drive/xs.f32", "idle_loop/source_keypoints.f32"}, {"drive/xd.f32", "idle_loop/driven_keypoints.f32"},
      {"drive/si.i32.bak", "idle_loop/source_index.i32.bak"}, {"drive/other.bin", "idle_loop/other.bin"},
      {"drive/xs", "idle_loop/source_keypoints"}, {"model_b4.onnx.bak", "model_b4.onnx.bak"},
      {"xdrive/xs.f32", "xdrive/xs.f32"}, {"manifest.json", "manifest.json"}};
  for (const auto& [name, current] : cases) EXPECT_EQ(canonicalMember(name), current) << name;
}

TEST(PathHelpers, ComponentsDirectoriesAndMembers) {
  const std::pair<std::string, std::string> strip[] = {{"/", "/"}, {"//", "/"}, {"a/b//", "a/b"}};
  for (const auto& [in, out] : strip) EXPECT_EQ(fs::rstripSlash(in), out) << in;
  const std::tuple<const char*, const char*, const char*> parts[] = {
      {"a/b/c.imx", "c.imx", "a/b"}, {"c.imx", "c.imx", "."}, {"/c.imx", "c.imx", "/"}, {"/x/y/z", "z", "/x/y"}};
  for (const auto& [p, base, dir] : parts) {
    EXPECT_EQ(fs::baseName(p), base) << p;
    EXPECT_EQ(fs::dirName(p), dir) << p;
  }
  EXPECT_EQ(fs::dirName("a/b/"), "a");
  TempDir t;
  EXPECT_TRUE(fs::mkdirs("") && fs::mkdirs(".") && fs::mkdirs(t / "a/b//c/"));
  EXPECT_TRUE(fs::isDirectory(t / "a/b/c"));
  writeFile(t / "a/b/c/f", "1");
  writeFile(t / "outside", "keep");
  ASSERT_EQ(::symlink((t / "outside").c_str(), (t / "a/link").c_str()), 0);
  ASSERT_EQ(::symlink(t.path().c_str(), (t / "a/dirlink").c_str()), 0);
  EXPECT_TRUE(fs::rmTree(t / "a") && fs::rmTree(t / "never-existed"));
  EXPECT_FALSE(exists(t / "a"));
  EXPECT_EQ(readFile(t / "outside"), "keep");  // links removed, not followed
  EXPECT_FALSE(fs::mkdirs(t / "outside/sub"));
  // resolveMember: the requested name, else the current one, else requested.
  EXPECT_EQ(resolveMember(t.path(), "M.f32"), t / "M.f32");
  writeFile(t / "paste_transform.f32", "x");
  EXPECT_EQ(resolveMember(t.path(), "M.f32"), t / "paste_transform.f32");
  writeFile(t / "M.f32", "y");
  EXPECT_EQ(resolveMember(t.path(), "M.f32"), t / "M.f32");
  ASSERT_TRUE(fs::mkdirs(t / "idle_loop"));
  writeFile(t / "idle_loop/source_index.i32", "z");
  EXPECT_EQ(resolveMember(t.path(), "drive/si.i32"), t / "idle_loop/source_index.i32");
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
  for (const char* p : {"v1.imx", "short.imx", "bad.imx", "dir.imx", "missing.imx"}) EXPECT_FALSE(isImxV2File(t / p)) << p;
  EXPECT_FALSE(isImxV2File(""));
  // Paths that are no container pass through, a version 1 one included.
  EXPECT_EQ(resolveBundlePath(""), "");
  for (const std::string& p : {t.path(), t / "nowhere", t / "v1.imx"}) EXPECT_EQ(resolveBundlePath(p), p);
  EXPECT_FALSE(exists(t / "v1.lebundle"));
}

class Unwrap : public testing::Test {
 protected:
  TempDir t;
  ScopedEnv noRoot{"LE_IMX_UNWRAP_ROOT", std::nullopt};
  std::string C = t / "x.imx", D = t / "x.lebundle", marker = D + ".imx_unwrapped";
  void SetUp() override {
    writeFile(C, test::imxBytes({{"manifest.json", "{\"format\": \"le-bundle-v0\"}"},
                                 {"paste_transform.f32", std::string(24, '\1')},
                                 {"idle_loop/source_index.i32", std::string(8, '\2')}}));
  }
  // Resolves p; *log receives what was printed.
  std::string resolve(const std::string& p, std::string* log = nullptr) {
    testing::internal::CaptureStderr();
    std::string d, err;
    try {
      d = resolveBundlePath(p);
    } catch (const std::exception& e) {
      err = e.what();
    }
    const std::string printed = testing::internal::GetCapturedStderr();
    if (log) *log = printed;
    return err.empty() ? d : "error: " + err;
  }
  void setMtime(int64_t plusSeconds) {
    struct stat st;
    ASSERT_EQ(::lstat(C.c_str(), &st), 0);
    timespec times[2] = {st.st_atim, st.st_mtim};
    times[1].tv_sec += plusSeconds;
    ASSERT_EQ(::utimensat(AT_FDCWD, C.c_str(), times, 0), 0);
  }
};

TEST_F(Unwrap, OnceBesideTheContainerThenFromTheCache) {
  std::string log;
  EXPECT_EQ(resolve(C, &log), D);
  EXPECT_EQ(log, "[le] unwrapped " + C + " -> " + D + "\n");
  EXPECT_EQ(readFile(D + "/paste_transform.f32"), std::string(24, '\1'));
  EXPECT_EQ(readFile(D + "/idle_loop/source_index.i32"), std::string(8, '\2'));
  struct stat st;
  ASSERT_EQ(::lstat(C.c_str(), &st), 0);
  const uint64_t ns = uint64_t(st.st_mtim.tv_sec) * 1000000000ull + uint64_t(st.st_mtim.tv_nsec);
  EXPECT_EQ(readFile(marker), "imx-unwrapped.v2 x.imx " + std::to_string(st.st_size) + " " + std::to_string(ns) +
                                  " " + std::to_string(st.st_ino));
  // Same size, time and inode over a damaged table: the cache is trusted, the
  // container never read again; so are a blank-padded marker, the stem, a
  // trailing slash and the unwrap directory itself.
  std::string junk = readFile(C).substr(0, 8) + std::string(size_t(st.st_size) - 8, 'J');
  FILE* f = std::fopen(C.c_str(), "r+b");
  ASSERT_TRUE(f);
  ASSERT_EQ(std::fwrite(junk.data(), 1, junk.size(), f), junk.size());
  std::fclose(f);
  const timespec times[2] = {st.st_atim, st.st_mtim};  // the time from before the write
  ASSERT_EQ(::utimensat(AT_FDCWD, C.c_str(), times, 0), 0);
  writeFile(marker, " \t" + readFile(marker) + "\r\n");
  for (const std::string& p : {C, t / "x", t / "x/", D}) {
    EXPECT_EQ(resolve(p, &log), D) << p;
    EXPECT_EQ(log, "") << p;
  }
}

// A stale marker of this container is the unwrap-safety table's case.
TEST_F(Unwrap, ChangedContainerRebuildsTheDirectory) {
  resolve(C);
  writeFile(D + "/paste_transform.f32", "edited");
  writeFile(D + "/stray", "left over");
  setMtime(5);
  std::string log;
  EXPECT_EQ(resolve(C, &log), D);
  EXPECT_EQ(log, "[le] unwrapped " + C + " -> " + D + "\n");
  EXPECT_EQ(readFile(D + "/paste_transform.f32"), std::string(24, '\1'));
  EXPECT_FALSE(exists(D + "/stray"));
}

TEST_F(Unwrap, DestinationRules) {
  {
    ScopedEnv env("LE_IMX_UNWRAP_ROOT", "/u/");
    const std::pair<const char*, const char*> dirs[] = {{"/a/id7.imx", "/u/id7.lebundle"},
                                                        {"/a/id7.lebundle", "/u/id7.lebundle"},
                                                        {"/a/id7.lebundle.imx", "/u/id7.lebundle"},
                                                        {"id7", "/u/id7.lebundle"}};
    for (const auto& [c, d] : dirs) EXPECT_EQ(imx::unwrapDir(c), d) << c;
    EXPECT_EQ(imx::markerPath("/u/id7.lebundle"), "/u/id7.lebundle.imx_unwrapped");
  }
  TempDir root;
  {
    ScopedEnv env("LE_IMX_UNWRAP_ROOT", root.path() + "//");
    EXPECT_EQ(resolve(C), root / "x.lebundle");
    EXPECT_TRUE(exists(root / "x.lebundle.imx_unwrapped"));
    EXPECT_FALSE(exists(D));
  }
  ScopedEnv empty("LE_IMX_UNWRAP_ROOT", "");
  EXPECT_EQ(resolve(C), D);
  // A container named like its own destination is never removed to make room.
  const std::string lb = t / "y.lebundle", bytes = test::imxBytes({{"m", "1"}});
  writeFile(lb, bytes);
  const std::string err = resolve(lb);
  EXPECT_EQ(err.rfind("error: refusing to unwrap " + lb, 0), 0u) << err;
  EXPECT_NE(err.find("LE_IMX_UNWRAP_ROOT"), std::string::npos);
  EXPECT_EQ(readFile(lb), bytes);
  ScopedEnv env("LE_IMX_UNWRAP_ROOT", root.path());
  EXPECT_EQ(resolve(lb), root / "y.lebundle");
  EXPECT_EQ(readFile(root / "y.lebundle/m"), "1");
}

TEST_F(Unwrap, EmptySyntheticAndLargeMembers) {
  writeFile(C, test::imxBytes({}));
  EXPECT_EQ(resolve(C), D);
  EXPECT_TRUE(fs::isDirectory(D) && exists(marker));
  std::string big(9u << 20, '\0');  // crosses the 8 MiB copy chunk
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 2654435761u >> 13);
  writeFile(C, test::imxBytes({{"manifest.json", "{\"_imx_synthetic_manifest\": 1}"},
                               {"a/manifest.json", "{\"_imx_synthetic_manifest\": 1}"},
                               {"empty", "", 3, 0},  // an empty member may point anywhere
                               {"big.bin", big}}));
  EXPECT_EQ(resolve(C), D);
  EXPECT_FALSE(exists(D + "/manifest.json"));
  EXPECT_TRUE(exists(D + "/a/manifest.json"));
  EXPECT_EQ(readFile(D + "/empty"), "");
  EXPECT_EQ(readFile(D + "/big.bin"), big);
}

TEST_F(Unwrap, HostileContainersAreRefusedWithoutLeftovers) {
  TempDir outside;
  const std::string full = test::imxBytes({{"abc", "payload"}});
  std::string many = test::imxBytes({{"a", "1"}});
  many[6] = many[7] = char(0xff);  // 65535 members in a short file
  const uint64_t huge = ~0ull;
  const std::pair<std::string, std::string> cases[] = {
      {test::imxBytes({}, 1), ": unsupported IMX container version 1"},
      {"IMX", ": not an IMX\\0 container"},
      {full.substr(0, 9), ": truncated TOC at member 0"},
      {full.substr(0, 11), ": truncated member name at 0"},
      {full.substr(0, 20), ": truncated TOC offsets at member abc"},
      {many, ": truncated TOC at member 1"},
      {test::imxBytes({{"m", "abc", std::nullopt, 4}}), ": truncated payload for member m"},
      {test::imxBytes({{"m", "abc", std::nullopt, huge}}), ": truncated payload for member m"},
      {test::imxBytes({{"m", "abc", huge - 1, 2}}), ": cannot seek to member m"},
      // offset + size wraps to a small number: refused before a part file is
      // made (a directory in its way would say so).
      {test::imxBytes({{"m.part/x", "1"}, {"m", "abc", 8, huge - 7}}), ": truncated payload for member m"},
  };
  for (const auto& [bytes, why] : cases) {
    writeFile(C, bytes);
    EXPECT_EQ(errorOf([&] { imx::unwrapOnce(C); }), C + why);
    EXPECT_FALSE(exists(D + "/m") || exists(marker) || (exists(D + "/m.part") && !fs::isDirectory(D + "/m.part")))
        << why;
  }
  EXPECT_EQ(errorOf([&] { imx::unwrapOnce(t / "gone.imx"); }), "cannot stat container " + t / "gone.imx");
  for (const std::string& name : {std::string("/etc/evil"), std::string("\\evil"), std::string("a..b"),
                                  "../" + fs::baseName(outside.path()) + "/evil", std::string("a/../../evil"),
                                  std::string(""), std::string("nul\0x", 5)}) {
    writeFile(C, test::imxBytes({{"ok", "1"}, {name, "pwned"}}));
    const std::string err = errorOf([&] { imx::unwrapOnce(C); });
    EXPECT_EQ(err.rfind(C + ": refusing unsafe member name '", 0), 0u) << err;
    EXPECT_FALSE(exists(marker));
  }
  EXPECT_FALSE(exists(outside / "evil"));
  writeFile(C, test::imxBytes({{"a", "file"}, {"a/b", "x"}}));
  EXPECT_EQ(errorOf([&] { imx::unwrapOnce(C); }), "cannot create " + D + "/a");
  // A symbolic link left in an old unwrap directory is removed, not followed.
  fs::rmTree(D);
  ASSERT_TRUE(fs::mkdirs(D));
  writeFile(D + ".imx_unwrapped", "imx-unwrapped.v2 x.imx 1 2 3");  // an older unwrap of x.imx
  ASSERT_EQ(::symlink(outside.path().c_str(), (D + "/sub").c_str()), 0);
  writeFile(C, test::imxBytes({{"sub/m", "inside"}}));
  EXPECT_EQ(resolve(C), D);
  EXPECT_FALSE(exists(outside / "m"));
  EXPECT_EQ(readFile(D + "/sub/m"), "inside");
}

TEST_F(Unwrap, FailedWriteRemovesThePartFileAndIsRedone) {
  writeFile(C, test::imxBytes({{"small", "ok"}, {"big.bin", std::string(1 << 20, 'b')}}));
  struct rlimit old;  // a file-size limit below the member fails the write part way
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  void (*oldHandler)(int) = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim = old;
  lim.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lim), 0);
  const std::string err = errorOf([&] { imx::unwrapOnce(C); });
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(err == "short write materialising " + D + "/big.bin" || err == "flush failed materialising " + D + "/big.bin")
      << err;
  EXPECT_FALSE(exists(D + "/big.bin.part") || exists(D + "/big.bin") || exists(marker));
  EXPECT_EQ(resolve(C), D);
  EXPECT_EQ(readFile(D + "/big.bin"), std::string(1 << 20, 'b'));
}

}  // namespace
}  // namespace le
