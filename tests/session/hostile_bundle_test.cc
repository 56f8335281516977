// Hostile bundles and careless callers at le_create and the frame entry
// points: names that lead outside the bundle, members that are FIFOs or
// devices, thread counts beyond the pool, keypoints and crops that are not
// finite.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "le/bundle/fsutil.h"
#include "le/le.h"
#include "session/session_bundle.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using test::BundleShape;
using test::TempDir;
using test::writeBundle;
using test::writeFile;

std::string err() { return le_last_error(); }

struct Ctx {
  le_ctx* p;
  explicit Ctx(le_ctx* c) : p(c) {}
  ~Ctx() { le_destroy(p); }
};

// Opens the bundle; "" when it opens, else the last error.
std::string createError(const std::string& bundle) {
  Ctx ctx(le_create(bundle.c_str(), "k", 1, nullptr));
  return ctx.p ? std::string() : err();
}

std::string leaves(const std::string& what, const std::string& value, const std::string& dir,
                   const std::string& reason) {
  return "le_create: " + what + " '" + value + "' leaves the bundle directory " + dir + " (" + reason +
         ") — refusing";
}

TEST(HostileBundle, EveryNameTheManifestGivesStaysInside) {
  TempDir outside;
  writeFile(outside / "x.mp4", "not a video");
  writeFile(outside / "p.bin", std::string(16, 'p'));
  const struct {
    const char* what;
    std::string keys;                                       // manifest keys added
    std::function<void(const std::string& dir)> plant;     // links or removals
    std::function<std::string(const std::string& dir)> error;
  } cases[] = {
      {"target_frames climbing out", ", \"target_frames\": \"../frames\"", nullptr,
       [](const std::string& d) {
         return leaves("manifest key target_frames", "../frames", d, "'..' climbs above it");
       }},
      {"target_frames absolute", ", \"target_frames\": \"/tmp\"", nullptr,
       [](const std::string& d) { return leaves("manifest key target_frames", "/tmp", d, "an absolute path"); }},
      {"target_frames_mp4 climbing out", ", \"target_frames_mp4\": \"../../../../outside/x.mp4\"", nullptr,
       [](const std::string& d) {
         return leaves("manifest key target_frames_mp4", "../../../../outside/x.mp4", d,
                       "'..' climbs above it");
       }},
      {"target_frames_mp4 through a link", ", \"target_frames_mp4\": \"link.mp4\"",
       [&](const std::string& d) { ASSERT_EQ(::symlink((outside / "x.mp4").c_str(), (d + "/link.mp4").c_str()), 0); },
       [&](const std::string& d) {
         return leaves("manifest key target_frames_mp4", "link.mp4", d,
                       "through a symbolic link to " + outside / "x.mp4");
       }},
      {"P_rgb climbing out", ", \"P_rgb\": \"sub/../../p.bin\"", nullptr,
       [](const std::string& d) { return leaves("manifest key P_rgb", "sub/../../p.bin", d, "'..' climbs above it"); }},
      {"P_hevc climbing out (no raw prior)", ", \"P_hevc\": \"../p.mov\"",
       [](const std::string& d) { ::unlink((d + "/P.f16").c_str()); },
       [](const std::string& d) { return leaves("manifest key P_hevc", "../p.mov", d, "'..' climbs above it"); }},
      {"a raw member linked out", "",
       [&](const std::string& d) {
         ::unlink((d + "/M.f32").c_str());
         ASSERT_EQ(::symlink((outside / "p.bin").c_str(), (d + "/M.f32").c_str()), 0);
       },
       [&](const std::string& d) { return leaves("member", "M.f32", d, "through a symbolic link to " + outside / "p.bin"); }},
      {"the drive directory linked out", "",
       [&](const std::string& d) {
         ASSERT_TRUE(fs::rmTree(d + "/drive"));
         ASSERT_EQ(::symlink(outside.path().c_str(), (d + "/drive").c_str()), 0);
       },
       [&](const std::string& d) {
         return leaves("member", "drive/xs.f32", d, "through a symbolic link to " + outside.path());
       }},
      {"manifest.json linked out", "",
       [&](const std::string& d) {
         ::rename((d + "/manifest.json").c_str(), (outside / "manifest.json").c_str());
         ASSERT_EQ(::symlink((outside / "manifest.json").c_str(), (d + "/manifest.json").c_str()), 0);
       },
       [&](const std::string& d) {
         return leaves("member", "manifest.json", d, "through a symbolic link to " + outside / "manifest.json");
       }},
      {"links that stay inside are fine", ", \"target_frames\": \"frames_link\"",
       [](const std::string& d) { ASSERT_EQ(::symlink("target_frames", (d + "/frames_link").c_str()), 0); },
       [](const std::string&) { return std::string(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir t;
    const std::string dir = t / "b";
    BundleShape s;
    s.extraKeys = c.keys;
    writeBundle(dir, s);
    if (c.plant) c.plant(dir);
    EXPECT_EQ(createError(dir), c.error(dir));
  }
}

// Every file of a directory tree as IMX entries.
std::vector<test::ImxEntry> entriesOf(const std::string& root, const std::string& rel = "") {
  std::vector<test::ImxEntry> out;
  for (const std::string& name : test::listDir(rel.empty() ? root : root + "/" + rel)) {
    const std::string r = rel.empty() ? name : rel + "/" + name;
    if (fs::isDirectory(root + "/" + r)) {
      for (auto& e : entriesOf(root, r)) out.push_back(std::move(e));
    } else {
      out.emplace_back(r, test::readFile(root + "/" + r));
    }
  }
  return out;
}

TEST(HostileBundle, AContainerCannotNameOutsideItsUnwrapEither) {
  TempDir t;
  test::ScopedEnv noRoot("LE_IMX_UNWRAP_ROOT", std::nullopt);
  BundleShape s;
  s.extraKeys = ", \"target_frames_mp4\": \"../../outside/x.mp4\"";
  writeBundle(t / "src", s);
  writeFile(t / "id.imx", test::imxBytes(entriesOf(t / "src")));
  testing::internal::CaptureStderr();
  const std::string e = createError(t / "id.imx");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(e, leaves("manifest key target_frames_mp4", "../../outside/x.mp4", t / "id.lebundle",
                      "'..' climbs above it"));
}

// Runs body in a child process and returns what it wrote, or "(hung)" when it
// took longer than the limit (the child is then killed).
std::string inChildWithin(std::chrono::milliseconds limit, const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "(no pipe)";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::string r;
    try {
      r = body();
    } catch (const std::exception& e) {
      r = std::string("exception: ") + e.what();
    }
    (void)!::write(fds[1], r.data(), r.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fds[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) == 0) {
      ::kill(pid, SIGKILL);
      out = "(hung)";
      break;
    }
    char buf[4096];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, size_t(n));
  }
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  return out;
}

// What opening a bundle and using it once answers: le_create's error, the
// first frame's, or the first render's.
std::string openAndUse(const std::string& dir) {
  Ctx ctx(le_create(dir.c_str(), "k", 1, nullptr));
  if (!ctx.p) return err();
  if (!le_target_frame(ctx.p, 0)) return err();
  const float kp[63] = {};
  if (!le_render_kp_crop(ctx.p, 0, kp, kp)) return err();
  return "rendered";
}

TEST(HostileBundle, FifosAndDevicesInPlaceOfMembersFailWithinASecond) {
  const std::string members[] = {"manifest.json",  "pooled64.f16",  "P.f16",
                                 "M.f32",          "mask_512.u8",   "drive/xs.f32",
                                 "drive/xd.f32",   "drive/si.i32",  "lip_template.v1.json",
                                 "model_k.onnx",   "target_frames/frame_000000.jpg"};
  // What each answers once refused: le_create's message, or the step after it.
  auto expected = [](const std::string& member, const std::string& path) {
    if (member == "model_k.onnx") return "le_render_kp_crop: Renderer: cannot open " + path;
    return "le_create: cannot open " + path;
  };
  const bool canMknod = [] {
    TempDir t;
    return ::mknod((t / "z").c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0;
  }();
  for (const std::string& kind : {std::string("FIFO"), std::string("character device")}) {
    for (const std::string& member : members) {
      SCOPED_TRACE(kind + " as " + member);
      TempDir t;
      writeBundle(t.path(), BundleShape{});
      const std::string path = t / member;
      ::unlink(path.c_str());
      std::string want = expected(member, path);
      if (kind == "FIFO") {
        ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
      } else if (canMknod) {
        ASSERT_EQ(::mknod(path.c_str(), S_IFCHR | 0644, makedev(1, 5)), 0);  // /dev/zero
      } else {
        // Without the right to make a device, one linked in: refused as a link out.
        ASSERT_EQ(::symlink("/dev/zero", path.c_str()), 0);
        want = "leaves the bundle directory " + t.path();
      }
      const auto t0 = std::chrono::steady_clock::now();
      const std::string got = inChildWithin(std::chrono::seconds(5), [&] { return openAndUse(t.path()); });
      EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
      if (canMknod || kind == "FIFO")
        EXPECT_EQ(got.rfind(want, 0), 0u) << got;
      else
        EXPECT_NE(got.find(want), std::string::npos) << got;
    }
  }
}

TEST(CarelessCaller, ThreadCountsBeyondThePoolAreRefused) {
  TempDir t;
  writeBundle(t.path(), BundleShape{});
  const struct {
    int threads;
    std::string error;
  } cases[] = {
      {-5, ""}, {0, ""}, {LE_MAX_THREADS, ""},
      {LE_MAX_THREADS + 1, "le_create: threads 257 above the limit of 256"},
      {std::numeric_limits<int>::max(), "le_create: threads 2147483647 above the limit of 256"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.threads);
    Ctx ctx(le_create(t.path().c_str(), "k", c.threads, nullptr));
    EXPECT_EQ(err(), c.error);
    EXPECT_EQ(ctx.p != nullptr, c.error.empty());
  }
}

TEST(CarelessCaller, KeypointsThatAreNotFiniteAreRefusedByRowAndColumn) {
  TempDir t;
  writeBundle(t.path(), BundleShape{});
  Ctx ctx(le_create(t.path().c_str(), "k", 1, nullptr));
  ASSERT_NE(ctx.p, nullptr) << err();
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::string renderFailed = "Renderer: cannot open " + t / "model_k.onnx";
  const struct {
    bool driving;  // kd, else ks
    int index;     // into the 63 values
    float value;
    std::string error;  // after "<function>: "
  } cases[] = {
      {false, 0, nan, "ks row 0 column 0 is nan, not a finite keypoint value within ±1e+06"},
      {true, 62, nan, "kd row 20 column 2 is nan, not a finite keypoint value within ±1e+06"},
      {true, 4, inf, "kd row 1 column 1 is inf, not a finite keypoint value within ±1e+06"},
      {false, 30, -inf, "ks row 10 column 0 is -inf, not a finite keypoint value within ±1e+06"},
      {true, 31, 1e30f, "kd row 10 column 1 is 1e+30, not a finite keypoint value within ±1e+06"},
      {false, 5, -2e6f, "ks row 1 column 2 is -2e+06, not a finite keypoint value within ±1e+06"},
      // At the limit the row is taken: the render runs (and finds no model here).
      {true, 5, 1e6f, renderFailed},
      {false, 5, -1e6f, renderFailed},
  };
  std::vector<uint8_t> rgba(size_t(48) * 40 * 4);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    float ks[63] = {}, kd[63] = {};
    (c.driving ? kd : ks)[c.index] = c.value;
    EXPECT_EQ(le_render_kp_crop(ctx.p, 1, ks, kd), nullptr);
    EXPECT_EQ(err(), "le_render_kp_crop: " + c.error);
    EXPECT_EQ(le_render_kp_rgba(ctx.p, 1, ks, kd, rgba.data(), rgba.size()), 0);
    EXPECT_EQ(err(), "le_render_kp_crop: " + c.error);  // the render step refused
  }
}

TEST(CarelessCaller, CropsThatAreNotFiniteAreNotPasted) {
  TempDir t;
  const BundleShape s;
  writeBundle(t.path(), s);
  Ctx ctx(le_create(t.path().c_str(), "k", 1, nullptr));
  ASSERT_NE(ctx.p, nullptr) << err();
  std::vector<float> crop(size_t(3) * s.crop * s.crop, 100.0f);
  std::vector<uint8_t> out(size_t(s.w) * s.h * 3);
  ASSERT_EQ(le_paste_crop(ctx.p, 0, crop.data(), out.data(), out.size()), 1) << err();
  for (const size_t at : {size_t(0), size_t(300), crop.size() - 1}) {
    for (const float v : {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()}) {
      std::vector<float> bad = crop;
      bad[at] = v;
      EXPECT_EQ(le_paste_crop(ctx.p, 0, bad.data(), out.data(), out.size()), 0);
      EXPECT_EQ(err(), "le_paste_crop: crop value " + std::to_string(at) + " is " +
                           (std::isnan(v) ? "nan" : "-inf") + ", not a finite value");
    }
  }
}

}  // namespace
}  // namespace le
