// What an unwrap may replace, containers whose payloads overlap, and several
// processes unwrapping one container: at once, and after one was killed part
// way.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
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
using test::ImxEntry;
using test::readFile;
using test::TempDir;
using test::writeFile;

std::string quietResolve(const std::string& p) {
  testing::internal::CaptureStderr();
  try {
    std::string d = resolveBundlePath(p);
    testing::internal::GetCapturedStderr();
    return d;
  } catch (...) {
    testing::internal::GetCapturedStderr();
    throw;
  }
}

// Every regular file under root with its bytes, by relative path.
std::map<std::string, std::string> tree(const std::string& root) {
  std::map<std::string, std::string> out;
  std::function<void(const std::string&)> walk = [&](const std::string& rel) {
    const std::string dir = rel.empty() ? root : root + "/" + rel;
    for (const std::string& name : test::listDir(dir)) {
      const std::string r = rel.empty() ? name : rel + "/" + name;
      if (fs::isDirectory(root + "/" + r))
        walk(r);
      else
        out[r] = readFile(root + "/" + r);
    }
  };
  walk("");
  return out;
}

// writeFile with the parent directories created.
void put(const std::string& path, const std::string& bytes) {
  ASSERT_TRUE(fs::mkdirs(fs::dirName(path)));
  writeFile(path, bytes);
}

class UnwrapSafety : public testing::Test {
 protected:
  TempDir t;
  test::ScopedEnv noRoot{"LE_IMX_UNWRAP_ROOT", std::nullopt};
  std::string C = t / "x.imx";
  std::string D = t / "x.lebundle";
  std::map<std::string, std::string> members{{"manifest.json", "{}"},
                                             {"a/b.bin", std::string(3000, 'b')},
                                             {"c.f32", std::string(64, 'c')}};
  void SetUp() override {
    std::vector<ImxEntry> e;
    for (const auto& [name, bytes] : members) e.emplace_back(name, bytes);
    writeFile(C, test::imxBytes(e));
  }
  std::string refusal() const {
    return "refusing to unwrap " + C + ": " + D + " exists and is not an unwrap of " + C +
           "; remove it or set LE_IMX_UNWRAP_ROOT";
  }
};

TEST_F(UnwrapSafety, OnlyAnUnwrapOfThisContainerOrAnEmptyDirectoryIsReplaced) {
  const std::string lock = D + ".imx_lock";
  const std::string marker = D + ".imx_unwrapped";
  struct Case {
    const char* what;
    std::function<void()> setUp;
    bool replaced;
  } cases[] = {
      {"no directory", [] {}, true},
      {"an empty directory", [&] { ASSERT_TRUE(fs::mkdirs(D)); }, true},
      {"a user's directory", [&] { put(D + "/thesis.tex", "years of work"); }, false},
      {"a user's directory beside a marker of another container",
       [&] {
         put(D + "/thesis.tex", "years of work");
         writeFile(marker, "imx-unwrapped.v2 y.imx 1 2 3");
       },
       false},
      {"a user's directory beside a marker that is a FIFO",
       [&] {
         put(D + "/thesis.tex", "years of work");
         ASSERT_EQ(::mkfifo(marker.c_str(), 0644), 0);
       },
       false},
      {"a user's directory beside a lock naming another container",
       [&] {
         put(D + "/thesis.tex", "years of work");
         writeFile(lock, "imx-unwrapping.v2 y.imx 1 2 3");
       },
       false},
      {"an older unwrap of this container (stale marker)",
       [&] {
         put(D + "/stray", "left over");
         writeFile(marker, "imx-unwrapped.v2 x.imx 1 2 3");
       },
       true},
      {"an unwrap of this container that was cut short (pending record)",
       [&] {
         put(D + "/a/b.bin.part", "half");
         writeFile(lock, "imx-unwrapping.v2 x.imx 1 2 3");
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(fs::rmTree(D));
    ::unlink(marker.c_str());
    ::unlink(lock.c_str());
    c.setUp();
    const std::map<std::string, std::string> before = fs::isDirectory(D) ? tree(D) : decltype(before){};
    const std::string err = errorOf([&] { EXPECT_EQ(quietResolve(C), D); });
    if (c.replaced) {
      EXPECT_EQ(err, "(no error)");
      EXPECT_EQ(tree(D), members);
    } else {
      EXPECT_EQ(err, refusal());
      EXPECT_EQ(tree(D), before);  // not one file touched
    }
  }
}

TEST_F(UnwrapSafety, UserDirectoryUnderTheUnwrapRootIsRefusedToo) {
  TempDir root;
  test::ScopedEnv env("LE_IMX_UNWRAP_ROOT", root.path());
  put(root / "x.lebundle/notes", "mine");
  EXPECT_EQ(errorOf([&] { quietResolve(C); }),
            "refusing to unwrap " + C + ": " + root / "x.lebundle" +
                " exists and is not an unwrap of " + C + "; remove it or set LE_IMX_UNWRAP_ROOT");
  EXPECT_EQ(readFile(root / "x.lebundle/notes"), "mine");
}

// Where imxBytes places the first payload: right after the table.
uint64_t payloadBase(const std::vector<ImxEntry>& entries) {
  uint64_t at = 8;
  for (const ImxEntry& e : entries) at += 2 + e.name.size() + 16;
  return at;
}

TEST_F(UnwrapSafety, OverlappingPayloadsAreRefusedBeforeAnythingIsWritten) {
  struct Span {
    const char* name;
    uint64_t at;  // relative to the first payload
    uint64_t size;
  };
  struct Case {
    const char* what;
    std::vector<ImxEntry> entries;  // explicit offsets relative to the first payload
    std::optional<std::pair<Span, Span>> overlap;  // the pair named, or none
  } cases[] = {
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint64_t base = payloadBase(c.entries);
    std::vector<ImxEntry> entries = c.entries;
    for (ImxEntry& e : entries)
      if (e.offset) *e.offset += base;
    writeFile(C, test::imxBytes(entries));
    ASSERT_TRUE(fs::rmTree(D));
    const std::string err = errorOf([&] { quietResolve(C); });
    if (!c.overlap) {
      EXPECT_EQ(err, "(no error)");
      continue;
    }
    auto span = [&](const Span& x) {
      return "'" + std::string(x.name) + "' (bytes " + std::to_string(base + x.at) + "+" +
             std::to_string(x.size) + ")";
    };
    EXPECT_EQ(err, C + ": members " + span(c.overlap->first) + " and " + span(c.overlap->second) +
                       " overlap — refusing a container whose payloads share bytes");
    EXPECT_FALSE(test::exists(D));
    EXPECT_FALSE(test::exists(D + ".imx_unwrapped"));
  }
}

TEST_F(UnwrapSafety, ManyEntriesOnOnePayloadWriteNothing) {
  std::vector<ImxEntry> many;
  for (int i = 0; i < 300; ++i) many.emplace_back("m" + std::to_string(i), "", 0, 1 << 20);
  const uint64_t base = payloadBase(many);
  many[0] = ImxEntry("m0", std::string(1 << 20, 'p'));
  for (size_t i = 1; i < many.size(); ++i) many[i].offset = base;
  writeFile(C, test::imxBytes(many));
  // Of entries at one offset the first listed is named: the sort is stable.
  EXPECT_EQ(errorOf([&] { quietResolve(C); }),
            C + ": members 'm0' (bytes " + std::to_string(base) + "+1048576) and 'm1' (bytes " +
                std::to_string(base) + "+1048576) overlap — refusing a container whose payloads share bytes");
  EXPECT_FALSE(test::exists(D));
}

// Runs body in a child process; returns its wait status.
int inChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    int rc = 1;
    try {
      rc = body();
    } catch (...) {
      rc = 2;
    }
    ::_exit(rc);
  }
  int status = -1;
  ::waitpid(pid, &status, 0);
  return status;
}

TEST_F(UnwrapSafety, ThreeProcessesOpenOneFreshContainer) {
  // Large enough that the unwrap takes a while and the three overlap.
  members["big.bin"] = std::string(24u << 20, 'z');
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
      int rc = 3;
      try {
        // Each process reports what it saw, and its own log lines.
        std::FILE* log = std::freopen((t / ("log" + std::to_string(k))).c_str(), "w", stderr);
        const std::string d = resolveBundlePath(C);
        std::string listing;
        for (const auto& [name, bytes] : tree(d)) listing += name + " " + std::to_string(bytes.size()) + " " + std::to_string(std::hash<std::string>{}(bytes)) + "\n";
        writeFile(t / ("tree" + std::to_string(k)), d + "\n" + listing);
        if (log) std::fflush(log);
        rc = 0;
      } catch (const std::exception& e) {
        writeFile(t / ("tree" + std::to_string(k)), std::string("error: ") + e.what());
      }
      ::_exit(rc);
    }
    pids.push_back(pid);
  }
  ::close(go[0]);
  ::close(go[1]);  // releases all three
  for (pid_t pid : pids) {
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const std::string first = readFile(t / "tree0");
  EXPECT_EQ(first.rfind(D + "\n", 0), 0u) << first;
  for (int k = 1; k < 3; ++k) EXPECT_EQ(readFile(t / ("tree" + std::to_string(k))), first);
  EXPECT_EQ(tree(D), members);
  int unwrapped = 0;
  for (int k = 0; k < 3; ++k) unwrapped += test::countOf(readFile(t / ("log" + std::to_string(k))), "[le] unwrapped");
  EXPECT_EQ(unwrapped, 1);
}

TEST_F(UnwrapSafety, AProcessKilledMidUnwrapLeavesWhatTheNextRecoversFrom) {
  members["big.bin"] = std::string(4u << 20, 'z');
  SetUp();
  // The child dies of SIGXFSZ while writing big.bin: the kernel kills it part
  // way through its copy, as any crash would.
  const int status = inChild([&] {
    struct rlimit lim {1u << 20, RLIM_INFINITY};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    std::freopen("/dev/null", "w", stderr);
    resolveBundlePath(C);
    return 0;
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
  EXPECT_TRUE(fs::isDirectory(D));
  EXPECT_FALSE(test::exists(D + ".imx_unwrapped"));
  EXPECT_EQ(quietResolve(C), D);
  EXPECT_EQ(tree(D), members);
  EXPECT_EQ(readFile(D + ".imx_lock"), "");  // the record of the cut-short unwrap is gone
}

}  // namespace
}  // namespace le
