// le-render end to end on the demo identity: the MP4 decodes back to the
// frames asked for at the driver's size, the mouth differs from the driver
// where the drive table opens it, and the picture far from the pasted face is
// the driver's own. Also the command line's errors.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "le/bundle/drive.h"
#include "le/bundle/identity.h"
#include "le/bundle/manifest.h"
#include "le/driver/cursor.h"
#include "tools/cli_run.h"
#include "tools/demo_fixture.h"

namespace le::test {
namespace {

constexpr int kUpperLip = 18, kLowerLip = 20;

Cmd leRender(const TempDir& tmp, const std::string& args) { return run(tmp, quote(LE_RENDER_EXE) + " " + args); }

// Every frame of an MP4 as RGB24, decoded by the ffmpeg CLI.
std::string decode(const TempDir& tmp, const std::string& mp4, int frames) {
  const std::string raw = tmp / "decoded.rgb";
  const Cmd r = run(tmp, "ffmpeg -nostdin -v error -y -i " + quote(mp4) + " -frames:v " + std::to_string(frames) +
                             " -f rawvideo -pix_fmt rgb24 " + quote(raw));
  EXPECT_EQ(r.status, 0) << r.err;
  return exists(raw) ? readFile(raw) : "";
}

// The first n frames of a rendered video and of the demo's driver under it, RGB24.
struct Decoded {
  std::string out, drv;
  size_t fb;  // bytes a frame
  const uint8_t* a(int k) const { return reinterpret_cast<const uint8_t*>(out.data() + k * fb); }
  const uint8_t* b(int k) const { return reinterpret_cast<const uint8_t*>(drv.data() + k * fb); }
  bool whole(int n) const { return out.size() == n * fb && drv.size() == n * fb; }
};
Decoded decodeBoth(const TempDir& tmp, const std::string& mp4, const Manifest& m, int n) {
  return {decode(tmp, mp4, n), decode(tmp, m.dir + "/target_frames.mp4", n), static_cast<size_t>(m.W) * m.H * 3};
}

// Mean absolute difference of a and b (RGB24 frames of w x h) over the crop
// pixels in [u0, u1) x [v0, v1) placed into the frame through m.
double diffInCrop(const uint8_t* a, const uint8_t* b, int w, int h, const float* m, double u0, double u1, double v0,
                  double v1) {
  double sum = 0;
  int n = 0;
  for (double v = v0; v < v1; v += 1)
    for (double u = u0; u < u1; u += 1) {
      double x, y;
      cropToFrame(m, u, v, x, y);
      const int ix = static_cast<int>(std::lround(x)), iy = static_cast<int>(std::lround(y));
      if (ix < 0 || iy < 0 || ix >= w || iy >= h) continue;
      const size_t o = (static_cast<size_t>(iy) * w + ix) * 3;
      for (int c = 0; c < 3; ++c) sum += std::abs(a[o + c] - b[o + c]);
      n += 3;
    }
  return n ? sum / n : 0;
}

// diffInCrop over the mouth: between the lip keypoints of xs, a little wider
// than the lips.
double mouthDiff(const uint8_t* a, const uint8_t* b, const Manifest& m, const float* M, const float* xs) {
  const int S = m.crop;
  const double cv = kpToCrop(0.5f * (xs[kUpperLip * 3 + 1] + xs[kLowerLip * 3 + 1]), S);
  return diffInCrop(a, b, m.W, m.H, M, kpToCrop(-0.1f, S), kpToCrop(0.1f, S), cv - 0.06 * S / 2, cv + 0.12 * S / 2);
}

// Mean absolute difference, and the share of values off by more than 12,
// over the pixels more than `margin` away from the crop's footprint in the frame.
std::pair<double, double> diffFarOutside(const uint8_t* a, const uint8_t* b, int w, int h, const float* m, int crop,
                                         int margin) {
  double xmin = 1e9, xmax = -1e9, ymin = 1e9, ymax = -1e9;
  for (double u : {-4.0, crop + 3.0})
    for (double v : {-4.0, crop + 3.0}) {
      double x, y;
      cropToFrame(m, u, v, x, y);
      xmin = std::min(xmin, x), xmax = std::max(xmax, x), ymin = std::min(ymin, y), ymax = std::max(ymax, y);
    }
  double sum = 0;
  size_t n = 0, big = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      if (x > xmin - margin && x < xmax + margin && y > ymin - margin && y < ymax + margin) continue;
      const size_t o = (static_cast<size_t>(y) * w + x) * 3;
      for (int c = 0; c < 3; ++c) {
        const int d = std::abs(a[o + c] - b[o + c]);
        sum += d;
        big += d > 12;
        ++n;
      }
    }
  return {n ? sum / n : 1e9, n ? static_cast<double>(big) / n : 1.0};
}

TEST(LeRender, RendersTwentyDemoFramesThatOpenTheMouthAndKeepTheRest) {
  ASSERT_FALSE(demoContainer().empty()) << "lefix demo failed";
  TempDir tmp;
  const std::string mp4 = tmp / "out.mp4";
  const Cmd r = leRender(tmp, quote(demoContainer()) + " -o " + quote(mp4) +
                                  " --frames 20 --crf 10 --sheet " + quote(tmp / "sheet.png") +
                                  " --sheet-frames 0,9 --png-every 10 " + quote(tmp / "png"));
  ASSERT_EQ(r.status, 0) << r.err;
  // Not a terminal: the progress arrives as plain lines, never redrawn.
  EXPECT_NE(r.err.find("le-render: 20/20 frames"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\r'), std::string::npos);
  EXPECT_NE(r.err.find("ms per frame: render "), std::string::npos) << r.err;
  for (const char* f : {"sheet.png", "png/frame_000000.png", "png/frame_000010.png"})
    EXPECT_EQ(readFile(tmp / f).substr(1, 3), "PNG") << f;
  EXPECT_FALSE(exists(tmp / "png/frame_000005.png"));

  const Manifest m = loadManifest(demoContainer());
  Identity id(m, driver::openPriorStream);
  const Drive d = loadDrive(m);
  EXPECT_EQ(ffprobe(tmp, mp4, "stream=nb_read_frames", "v:0"), "20\n");  // the size: decoded whole below
  const Decoded frames = decodeBoth(tmp, mp4, m, 20);
  ASSERT_TRUE(frames.whole(20)) << frames.out.size() << " " << frames.drv.size();

  const int S = m.crop;
  int opened = 0, closed = 0;
  double closedMax = 0, openMin = 1e9;
  for (int k = 0; k < 20; ++k) {
    SCOPED_TRACE(k);
    const uint8_t *a = frames.a(k), *b = frames.b(k);
    const float* xs = &d.xs[static_cast<size_t>(k) * 63];
    const float* xd = &d.xd[static_cast<size_t>(k) * 63];
    const double open = (xd[kLowerLip * 3 + 1] - xd[kUpperLip * 3 + 1]) - (xs[kLowerLip * 3 + 1] - xs[kUpperLip * 3 + 1]);
    const double mouth = mouthDiff(a, b, m, id.M(d.si[k]), xs);
    if (open > 0.1) {
      ++opened;
      openMin = std::min(openMin, mouth);
    } else if (open < 0.005) {
      ++closed;
      closedMax = std::max(closedMax, mouth);
    }
    const auto [mean, share] = diffFarOutside(a, b, m.W, m.H, id.M(d.si[k]), S, 24);
    EXPECT_LT(mean, 0.5);
    EXPECT_LT(share, 0.001);
  }
  ASSERT_GE(opened, 3) << "the drive table's first opening should fall into frames 0..19";
  ASSERT_GE(closed, 3);
  EXPECT_GT(openMin, 25.0);
  EXPECT_LT(closedMax, 10.0);
  EXPECT_GT(openMin, 3 * closedMax);
}

TEST(LeRender, RendersKeypointRowsFromAFile) {
  ASSERT_FALSE(demoContainer().empty()) << "lefix demo failed";
  TempDir tmp;
  const Manifest m = loadManifest(demoContainer());
  const Drive d = loadDrive(m);
  // Drive rows 8, 9, 10 (mouth open) played on driver frames 0, 1, 2.
  writeFile(tmp / "kp.f32", std::string(reinterpret_cast<const char*>(&d.xd[8 * 63]), 3 * 63 * 4));
  const std::string mp4 = tmp / "kp.mp4";
  const Cmd r = leRender(tmp, quote(demoContainer()) + " --keypoints " + quote(tmp / "kp.f32") + " -q -o " + quote(mp4));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "") << "--quiet printed";
  EXPECT_EQ(ffprobe(tmp, mp4, "stream=nb_read_frames", "v:0"), "3\n");
  const Decoded frames = decodeBoth(tmp, mp4, m, 3);
  ASSERT_TRUE(frames.whole(3)) << frames.out.size() << " " << frames.drv.size();
  Identity id(m, driver::openPriorStream);
  for (int k = 0; k < 3; ++k) EXPECT_GT(mouthDiff(frames.a(k), frames.b(k), m, id.M(k), d.xs.data()), 25.0) << k;
}

TEST(LeRender, RefusesBadUsageWithOneLineErrors) {
  TempDir tmp;
  const Cmd help = leRender(tmp, "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: le-render BUNDLE -o OUT.mp4"), std::string::npos);
  // Keypoint files that are not whole rows, or not files to read (a FIFO
  // would block, a device would feed rows forever).
  writeFile(tmp / "bad.f32", std::string(63 * 4 + 2, '\0'));
  ASSERT_EQ(::mkfifo((tmp / "fifo.f32").c_str(), 0644), 0);
  const std::string demo = quote(demoContainer()) + " -o " + quote(tmp / "x.mp4") + " --keypoints ";
  struct Case { std::string args; int status; std::string says; };
  const std::vector<Case> cases = {
      {"", 2, "no BUNDLE given"}, {"b", 2, "no output given"},
      {"b -o x.mp4 --audio speech.wav --frames 3", 2, "--frames does not go with --audio"},
      {"b -o x.mp4 --audio " + quote(tmp / "none.wav"), 1, "cannot open audio " + tmp / "none.wav" + ": No such file"},
      {"b -o " + quote(tmp / "no/x.mp4"), 1, "cannot write video " + tmp / "no/x.mp4" + ": directory"},
      {"b -o x.mp4 --frames 0", 2, "--frames wants a whole number in [1, "}, {"b -o x.mp4 --threads 2x", 2, "--threads wants a whole number"},
      {"b -o x.mp4 --crf 52", 2, "--crf wants a whole number in [0, 51]"}, {"b -o x.mp4 --png-every 5", 2, "--png-every wants two values"},
      {"b -o x.mp4 --sheet-frames 1,,2", 2, "--sheet-frames wants a whole number"}, {"b -o x.mp4 --bogus", 2, "unknown option --bogus"},
      {"b -o - --sheet -", 2, "--sheet - : standard output carries only the video"},
      {quote(tmp / "missing") + " -o " + quote(tmp / "x.mp4"), 1, "cannot list"},
      {quote(tmp.path()) + " --model nothere -o " + quote(tmp / "x.mp4"), 1, "cannot open the bundle: le_create: "},
      {demo + quote(tmp / "bad.f32"), 1, "is not a whole number of rows of 63 float32"},
      {demo + quote(tmp / "fifo.f32"), 1, "cannot open keypoints " + tmp / "fifo.f32"},
      {demo + "/dev/zero", 1, "cannot open keypoints /dev/zero"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const Cmd r = leRender(tmp, c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(std::make_pair(r.err.rfind("le-render: ", 0), countOf(r.err, "\n")), std::make_pair(size_t(0), 1)) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_FALSE(exists(tmp / "x.mp4"));
  }
}

// A signal ends the video after the frames encoded so far, with its index,
// and exit status 130.
TEST(LeRender, SigintKeepsWhatWasEncoded) {
  ASSERT_FALSE(demoContainer().empty()) << "lefix demo failed";
  TempDir tmp;
  const std::string mp4 = tmp / "a.mp4";
  // 400 rows of the target pose: far longer than the signal's delay.
  const std::string target = readFile(loadManifest(demoContainer()).dir + "/xs_target.bin");
  std::string rows;
  for (int k = 0; k < 10; ++k) rows += target;
  writeFile(tmp / "rows.f32", rows);
  const Cmd r = signalMidRun(tmp, quote(LE_RENDER_EXE) + " " + quote(demoContainer()) + " --keypoints " + quote(tmp / "rows.f32") +
                                       " -o " + quote(mp4), tmp / ".a.mp4.part-", "INT");
  EXPECT_NE(r.out.find("status=130"), std::string::npos) << r.out << r.err;
  int done = -1, total = -1;
  const size_t at = r.err.find("le-render: SIGINT: stopped after ");
  ASSERT_NE(at, std::string::npos) << r.err;
  ASSERT_EQ(std::sscanf(r.err.c_str() + at, "le-render: SIGINT: stopped after %d of %d", &done, &total), 2);
  EXPECT_EQ(total, 400);
  EXPECT_GT(done, 0);
  EXPECT_EQ(ffprobe(tmp, mp4, "stream=nb_read_frames"), std::to_string(done) + "\n");
}

}  // namespace
}  // namespace le::test
