// Member names, path helpers, bundle path resolution and container
// unwrapping: the cache marker, hostile containers, what an unwrap may
// replace, overlapping payloads, and several processes unwrapping one
// container, at once and after one was killed part way.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

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
  EXPECT_TRUE(fs::mkdirs("") && fs::mkdirs(".") && fs::mkdirs(t / "a/b//c/") && fs::isDirectory(t / "a/b/c"));
  writeFile(t / "a/b/c/f", "1");
  writeFile(t / "outside", "keep");
  ASSERT_EQ(::symlink((t / "outside").c_str(), (t / "a/link").c_str()), 0);
  ASSERT_EQ(::symlink(t.path().c_str(), (t / "a/dirlink").c_str()), 0);
  EXPECT_TRUE(fs::rmTree(t / "a") && fs::rmTree(t / "never-existed"));
  EXPECT_FALSE(exists(t / "a"));
  EXPECT_EQ(readFile(t / "outside"), "keep");  // links removed, not followed
  EXPECT_FALSE(fs::mkdirs(t / "outside/sub"));
  // resolveMember: the requested name, else the current one (neither: the
  // identity tests' missing members).
  writeFile(t / "paste_transform.f32", "x");
  EXPECT_EQ(resolveMember(t.path(), "M.f32"), t / "paste_transform.f32");
  writeFile(t / "M.f32", "y");
  EXPECT_EQ(resolveMember(t.path(), "M.f32"), t / "M.f32");
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

// Every non-directory under root with its bytes, by relative path; a missing
// root is an empty tree.
std::map<std::string, std::string> tree(const std::string& root) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root, ec))
    if (!e.is_directory()) out[e.path().lexically_relative(root).string()] = readFile(e.path());
  return out;
}

// writeFile with the parent directories created.
void put(const std::string& path, const std::string& bytes) {
  ASSERT_TRUE(fs::mkdirs(fs::dirName(path)));
  writeFile(path, bytes);
}

class Unwrap : public testing::Test {
 protected:
  TempDir t;
  ScopedEnv noRoot{"LE_IMX_UNWRAP_ROOT", std::nullopt};
  std::string C = t / "x.imx", D = t / "x.lebundle", marker = D + ".imx_unwrapped";
  std::map<std::string, std::string> members{{"manifest.json", "{\"format\": \"le-bundle-v0\"}"},
                                             {"paste_transform.f32", std::string(24, '\1')},
                                             {"idle_loop/source_index.i32", std::string(8, '\2')}};
  void SetUp() override {
    std::vector<ImxEntry> e;
    for (const auto& [name, bytes] : members) e.emplace_back(name, bytes);
    writeFile(C, test::imxBytes(e));
  }
  std::string refusal(const std::string& dest) const {
    return "error: refusing to unwrap " + C + ": " + dest + " exists and is not an unwrap of " + C +
           "; remove it or set LE_IMX_UNWRAP_ROOT";
  }
  // Resolves p; *log receives what was printed.
  std::string resolve(const std::string& p, std::string* log = nullptr) {
    testing::internal::CaptureStderr();
    std::string d;
    const std::string err = errorOf([&] { d = resolveBundlePath(p); });
    const std::string printed = testing::internal::GetCapturedStderr();
    if (log) *log = printed;
    return err == "(no error)" ? d : "error: " + err;
  }
};

TEST_F(Unwrap, OnceBesideTheContainerThenFromTheCache) {
  std::string log;
  EXPECT_EQ(resolve(C, &log), D);
  EXPECT_EQ(log, "[le] unwrapped " + C + " -> " + D + "\n");
  EXPECT_EQ(tree(D), members);
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
  const timespec later[2] = {{0, UTIME_OMIT}, {::time(nullptr) + 5, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, C.c_str(), later, 0), 0);
  std::string log;
  EXPECT_EQ(resolve(C, &log), D);
  EXPECT_EQ(log, "[le] unwrapped " + C + " -> " + D + "\n");
  EXPECT_EQ(tree(D), members);  // the edit undone, the stray file gone
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
    EXPECT_TRUE(exists(root / "x.lebundle.imx_unwrapped") && !exists(D));
    // A user's directory under the root is refused as one beside the container.
    ASSERT_TRUE(fs::rmTree(root / "x.lebundle"));
    ::unlink((root / "x.lebundle.imx_unwrapped").c_str());
    put(root / "x.lebundle/notes", "mine");
    EXPECT_EQ(resolve(C), refusal(root / "x.lebundle"));
    EXPECT_EQ(readFile(root / "x.lebundle/notes"), "mine");
  }
  ScopedEnv empty("LE_IMX_UNWRAP_ROOT", "");
  EXPECT_EQ(resolve(C), D);
  // A container named like its own destination is never removed to make room.
  const std::string lb = t / "y.lebundle", bytes = test::imxBytes({{"m", "1"}});
  writeFile(lb, bytes);
  EXPECT_EQ(resolve(lb), "error: refusing to unwrap " + lb + ": destination " + lb +
                            " exists and is not a directory (set LE_IMX_UNWRAP_ROOT to unwrap elsewhere)");
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
  EXPECT_TRUE(!exists(D + "/manifest.json") && exists(D + "/a/manifest.json"));
  EXPECT_EQ(std::make_pair(readFile(D + "/empty"), readFile(D + "/big.bin")), std::make_pair(std::string(), big));
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
      {test::imxBytes({{"m.part/x", "1"}, {"m", "abc", std::nullopt, 4}}), ": truncated payload for member m"},
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
    // what() ends at the NUL of the last name, as the expected text does.
    EXPECT_EQ(errorOf([&] { imx::unwrapOnce(C); }), (C + ": refusing unsafe member name '" + name + "'").c_str());
    EXPECT_FALSE(exists(marker));
  }
  EXPECT_FALSE(exists(outside / "evil"));
  writeFile(C, test::imxBytes({{"a", "file"}, {"a/b", "x"}}));
  EXPECT_EQ(errorOf([&] { imx::unwrapOnce(C); }), "cannot create " + D + "/a");
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

TEST_F(Unwrap, OnlyAnUnwrapOfThisContainerOrAnEmptyDirectoryIsReplaced) {
  const std::string lock = D + ".imx_lock";
  struct Case {
    const char* what;
    const char* file;              // made in D first, if any
    std::function<void()> beside;  // a marker or lock beside D
    bool replaced;
  } cases[] = {
      {"no directory", nullptr, [] {}, true},
      {"an empty directory", nullptr, [&] { ASSERT_TRUE(fs::mkdirs(D)); }, true},
      {"a user's directory", "thesis.tex", [] {}, false},
      {"a user's directory beside a marker of another container", "thesis.tex",
       [&] { writeFile(marker, "imx-unwrapped.v2 y.imx 1 2 3"); }, false},
      {"a user's directory beside a marker that is a FIFO", "thesis.tex",
       [&] { ASSERT_EQ(::mkfifo(marker.c_str(), 0644), 0); }, false},
      {"a user's directory beside a lock naming another container", "thesis.tex",
       [&] { writeFile(lock, "imx-unwrapping.v2 y.imx 1 2 3"); }, false},
      {"an older unwrap of this container (stale marker)", "stray",
       [&] { writeFile(marker, "imx-unwrapped.v2 x.imx 1 2 3"); }, true},
      {"an unwrap of this container that was cut short (pending record)", "a/b.bin.part",
       [&] { writeFile(lock, "imx-unwrapping.v2 x.imx 1 2 3"); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(fs::rmTree(D));
    ::unlink(marker.c_str());
    ::unlink(lock.c_str());
    if (c.file) put(D + "/" + c.file, "years of work");
    c.beside();
    const std::map<std::string, std::string> before = fs::isDirectory(D) ? tree(D) : decltype(before){};
    EXPECT_EQ(resolve(C), c.replaced ? D : refusal(D));
    EXPECT_EQ(tree(D), c.replaced ? members : before);  // refused: not one file touched
  }
}

TEST_F(Unwrap, OverlappingPayloadsAreRefusedBeforeAnythingIsWritten) {
  struct Span {
    const char* name;
    uint64_t at;  // relative to the first payload
    uint64_t size;
  };
  struct Case {
    const char* what;
    std::vector<ImxEntry> entries;  // explicit offsets relative to the first payload
    std::optional<std::pair<Span, Span>> overlap;  // the pair named, or none
  };
  std::vector<ImxEntry> many{{"m0", std::string(1 << 20, 'p')}};
  for (int i = 1; i < 300; ++i) many.emplace_back("m" + std::to_string(i), "", 0, 1 << 20);
  const Case cases[] = {
      {"two entries on one payload",
       {{"a", std::string(100, 'a')}, {"b", "", 0, 100}},
       std::pair{Span{"a", 0, 100}, Span{"b", 0, 100}}},
      {"the second starts inside the first",
       {{"a", std::string(100, 'a')}, {"b", "", 99, 1}},
       std::pair{Span{"a", 0, 100}, Span{"b", 99, 1}}},
      {"one inside another, listed first",
       {{"inner", "", 10, 5}, {"outer", std::string(100, 'o')}},
       std::pair{Span{"outer", 0, 100}, Span{"inner", 10, 5}}},
      {"back to back", {{"a", std::string(100, 'a')}, {"b", "", 100, 0}}, std::nullopt},
      {"an empty entry inside another", {{"a", std::string(100, 'a')}, {"e", "", 50, 0}}, std::nullopt},
      // Of entries at one offset the first listed is named: the sort is stable.
      {"300 entries on one payload", many, std::pair{Span{"m0", 0, 1 << 20}, Span{"m1", 0, 1 << 20}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint64_t base = 8;  // imxBytes places the first payload right after the table
    for (const ImxEntry& e : c.entries) base += 2 + e.name.size() + 16;
    std::vector<ImxEntry> entries = c.entries;
    for (ImxEntry& e : entries)
      if (e.offset) *e.offset += base;
    writeFile(C, test::imxBytes(entries));
    ASSERT_TRUE(fs::rmTree(D));
    ::unlink(marker.c_str());
    const std::string got = resolve(C);
    if (!c.overlap) {
      EXPECT_EQ(got, D);
      continue;
    }
    auto span = [&](const Span& x) {
      return "'" + std::string(x.name) + "' (bytes " + std::to_string(base + x.at) + "+" +
             std::to_string(x.size) + ")";
    };
    EXPECT_EQ(got, "error: " + C + ": members " + span(c.overlap->first) + " and " + span(c.overlap->second) +
                       " overlap — refusing a container whose payloads share bytes");
    EXPECT_FALSE(test::exists(D) || test::exists(marker));
  }
}

TEST_F(Unwrap, ThreeProcessesOpenOneFreshContainer) {
  members["big.bin"] = std::string(24u << 20, 'z');  // the unwrap takes a while: the three overlap
  SetUp();
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  std::vector<pid_t> pids;
  for (int k = 0; k < 3; ++k) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(go[1]);
      char c;
      (void)!::read(go[0], &c, 1);  // all three start together
      // Each process writes what it saw into "seen<k>", its log lines into "log<k>".
      std::freopen((t / ("log" + std::to_string(k))).c_str(), "w", stderr);
      const std::string err = errorOf([&] {
        const std::string d = resolveBundlePath(C);
        writeFile(t / ("seen" + std::to_string(k)), d + (tree(d) == members ? " whole" : " differs"));
      });
      if (err != "(no error)") writeFile(t / ("seen" + std::to_string(k)), err);
      std::fflush(stderr);
      ::_exit(0);
    }
    pids.push_back(pid);
  }
  ::close(go[0]);
  ::close(go[1]);  // releases all three
  int unwrapped = 0;
  for (int k = 0; k < 3; ++k) {
    int status = -1;
    ASSERT_EQ(::waitpid(pids[size_t(k)], &status, 0), pids[size_t(k)]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(readFile(t / ("seen" + std::to_string(k))), D + " whole");
    unwrapped += test::countOf(readFile(t / ("log" + std::to_string(k))), "[le] unwrapped");
  }
  EXPECT_EQ(tree(D), members);
  EXPECT_EQ(unwrapped, 1);
}

TEST_F(Unwrap, AProcessKilledMidUnwrapLeavesWhatTheNextRecoversFrom) {
  members["big.bin"] = std::string(4u << 20, 'z');
  SetUp();
  // The child dies of SIGXFSZ while writing big.bin: the kernel kills it part
  // way through its copy, as any crash would.
  const pid_t pid = ::fork();
  if (pid == 0) {
    struct rlimit lim {1u << 20, RLIM_INFINITY};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    std::freopen("/dev/null", "w", stderr);
    try {
      resolveBundlePath(C);
    } catch (...) {
    }
    ::_exit(0);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
  EXPECT_TRUE(fs::isDirectory(D) && !test::exists(D + ".imx_unwrapped"));
  EXPECT_EQ(resolve(C), D);
  EXPECT_EQ(tree(D), members);
  EXPECT_EQ(readFile(D + ".imx_lock"), "");  // the record of the cut-short unwrap is gone
}

}  // namespace
}  // namespace le
