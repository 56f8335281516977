// le::loadDrive: exact table sizes under both member layouts, the source
// index range check and counts that do not fit.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "le/bundle/drive.h"
#include "le/bundle/fsutil.h"
#include "le/bundle/manifest.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using le::test::errorOf;

using test::TempDir;
using test::writeFile;

template <class T>
std::string bytesOf(const std::vector<T>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

struct Tables {
  std::vector<float> xs, xd;
  std::vector<int32_t> si;
};

Tables sample(int frames, int nt) {
  Tables t;
  for (int i = 0; i < frames * 63; ++i) {
    t.xs.push_back(0.001f * float(i));
    t.xd.push_back(-0.002f * float(i));
  }
  for (int i = 0; i < frames; ++i) t.si.push_back((i * 7) % nt);
  return t;
}

// Writes manifest and tables; old: drive/ names, else idle_loop/ names.
Manifest writeBundle(const std::string& dir, int frames, int nt, const Tables& t, bool old) {
  writeFile(dir + "/manifest.json",
            "{\"format\": \"le-bundle-v0\", \"agent\": \"t\", \"NT\": " + std::to_string(nt) +
                ", \"H\": 8, \"W\": 8, \"crop\": 4, \"amount\": 1.3, \"sigma\": 2.0, \"ksize\": "
                "13, \"frames\": " + std::to_string(frames) +
                ", \"M_src_w\": 8, \"M_src_h\": 8}\n");
  const std::string d = dir + (old ? "/drive/" : "/idle_loop/");
  fs::mkdirs(d);
  writeFile(d + (old ? "xs.f32" : "source_keypoints.f32"), bytesOf(t.xs));
  writeFile(d + (old ? "xd.f32" : "driven_keypoints.f32"), bytesOf(t.xd));
  writeFile(d + (old ? "si.i32" : "source_index.i32"), bytesOf(t.si));
  return loadManifest(dir);
}

TEST(Drive, LoadsBothLayoutsAlike) {
  const Tables want = sample(300, 40);
  for (bool old : {true, false}) {
    SCOPED_TRACE(old ? "drive/" : "idle_loop/");
    TempDir t;
    const Drive d = loadDrive(writeBundle(t.path(), 300, 40, want, old));
    EXPECT_EQ(d.frames, 300);
    EXPECT_EQ(d.xs, want.xs);
    EXPECT_EQ(d.xd, want.xd);
    EXPECT_EQ(d.si, want.si);
  }
  // 300 entries take exactly 75600 bytes of keypoints.
  TempDir t;
  writeBundle(t.path(), 300, 40, want, true);
  EXPECT_EQ(test::readFile(t / "drive/xs.f32").size(), 75600u);
}

TEST(Drive, EveryTableSizeIsExact) {
  const Tables want = sample(5, 9);
  for (const char* member : {"drive/xs.f32", "drive/xd.f32", "drive/si.i32"}) {
    for (int delta : {-1, +1, -4, +4}) {
      SCOPED_TRACE(std::string(member) + " " + std::to_string(delta));
      TempDir t;
      const Manifest m = writeBundle(t.path(), 5, 9, want, true);
      std::string bytes = test::readFile(t / member);
      if (delta < 0) bytes.resize(bytes.size() - size_t(-delta));
      else bytes.append(size_t(delta), '\0');
      writeFile(t / member, bytes);
      EXPECT_EQ(errorOf([&] { loadDrive(m); }), "size mismatch " + t / member);
    }
  }
  TempDir t;
  const Manifest m = writeBundle(t.path(), 5, 9, want, false);
  ::unlink((t / "idle_loop/driven_keypoints.f32").c_str());
  EXPECT_EQ(errorOf([&] { loadDrive(m); }), "cannot open " + t / "drive/xd.f32");
}

TEST(Drive, SourceIndicesStayInsideTheDriver) {
  for (int32_t bad : {9, -1, 1 << 30}) {
    SCOPED_TRACE(bad);
    TempDir t;
    Tables tab = sample(5, 9);
    tab.si[3] = bad;
    const Manifest m = writeBundle(t.path(), 5, 9, tab, false);
    EXPECT_EQ(errorOf([&] { loadDrive(m); }), "drive: si out of range");
  }
  TempDir t;
  Tables tab = sample(5, 9);
  tab.si = {0, 8, 8, 0, 4};  // both ends of [0, NT)
  EXPECT_EQ(loadDrive(writeBundle(t.path(), 5, 9, tab, false)).si, tab.si);
}

TEST(Drive, CountsThatCannotBeTablesAreRefused) {
  TempDir t;
  const Tables tab = sample(5, 9);
  Manifest m = writeBundle(t.path(), 5, 9, tab, true);
  m.frames = -1;
  EXPECT_EQ(errorOf([&] { loadDrive(m); }), "drive: frames -1 is negative");
  // A count far beyond the files: refused by size before anything is allocated.
  m.frames = 0x7fffffff;
  EXPECT_EQ(errorOf([&] { loadDrive(m); }), "size mismatch " + t / "drive/xs.f32");
  // No entries: empty tables are consistent.
  Manifest zero = writeBundle(t.path(), 0, 9, Tables{}, true);
  const Drive d = loadDrive(zero);
  EXPECT_EQ(d.frames, 0);
  EXPECT_TRUE(d.xs.empty() && d.xd.empty() && d.si.empty());
}

}  // namespace
}  // namespace le
