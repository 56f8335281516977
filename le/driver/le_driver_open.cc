// Choosing and opening the driver member and the HEVC warp prior of a bundle.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "le/bundle/fsutil.h"
#include "le/bundle/manifest.h"
#include "le/bundle/manifest_key.h"
#include "le/bundle/member.h"
#include "le/bundle/paths.h"
#include "le/driver/cursor.h"
#include "le/runtime/env.h"
#include "le/runtime/log.h"

namespace le {

namespace {

std::string manifestText(const Manifest& m) { return le::manifestText(m.dir); }

// The last frame's file decides: a directory cut short is not a driver.
bool jpgDirPopulated(const std::string& dir, int NT) {
  if (NT < 1) return false;
  char name[32];
  std::snprintf(name, sizeof name, "/frame_%06d.jpg", NT - 1);
  return fs::isRegularFile(dir + name);
}

}  // namespace

std::unique_ptr<DriverCursor> DriverCursor::open(const Manifest& m, int lookAhead, int history) {
  const std::string text = manifestText(m);
  const NamedMember jpg = memberNamedBy(text, "target_frames", "target_frames");
  const NamedMember mp4 = memberNamedBy(text, "target_frames_mp4", "target_frames.mp4");
  const std::string& jpgName = jpg.name;
  const std::string& mp4Name = mp4.name;

  // Both names are confined before either is looked at.
  const std::string jpgDir = member::confined(m.dir, jpgName, jpg.what);
  const std::string mp4Path = resolveMember(m.dir, mp4Name, mp4.what);
  const bool populated = jpgDirPopulated(jpgDir, m.NT);
  const bool haveMp4 = fs::isRegularFile(mp4Path);

  const bool preferMp4 = env::is("LE_DRIVER_PREFER_MP4", "1") && haveMp4 && populated;
  if (preferMp4) {
    log::linef(log::Level::Info,
               "[le-driver] LE_DRIVER_PREFER_MP4=1 — %s/ is populated and NOT used; %s is the "
               "member this consumer reads",
               jpgName.c_str(), mp4Name.c_str());
  } else if (populated) {
    log::linef(log::Level::Info, "[le-driver] %s/ (raw jpg, %d frames) — read one frame per pull",
               jpgName.c_str(), m.NT);
    return over(driver::openJpgDir(jpgDir, m.NT, m.W, m.H), lookAhead, history);
  }

  if (!haveMp4)
    throw std::runtime_error("this bundle carries neither a populated " + jpgName + "/ nor " +
                             mp4Name + " (" + mp4Path +
                             ") — there is no driver video to play. REFUSING to create a session.");
  std::unique_ptr<driver::Source> src = driver::openMp4(mp4Path, m.NT, m.W, m.H);
  const std::string srcName = src->name();
  auto cursor = over(std::move(src), lookAhead, history);
  log::linef(log::Level::Info,
             "[le-driver] %s decoded IN PLACE (%s, %d frames %dx%d, look-ahead %d, history %d) "
             "— no frame of the driver is expanded ahead of the paste",
             mp4Name.c_str(), srcName.c_str(), m.NT, m.W, m.H, lookAhead < 1 ? 1 : lookAhead,
             history < 0 ? 0 : history);
  return cursor;
}

std::unique_ptr<DriverCursor> DriverCursor::openPrior(const Manifest& m, int lookAhead,
                                                      int history) {
  const NamedMember hevc = memberNamedBy(manifestText(m), "P_hevc", "P_hevc.mov");
  const std::string& name = hevc.name;
  const std::string path = resolveMember(m.dir, name, hevc.what);
  if (!fs::isRegularFile(path))
    throw std::runtime_error("this bundle carries neither a raw P.f16 nor " + name + " (" + path +
                             ") — there is no warp prior to play. REFUSING to create a session.");
  std::unique_ptr<driver::Source> src = driver::openPriorHevc(path, m.NT, m.crop);
  const std::string srcName = src->name();
  auto cursor = over(std::move(src), lookAhead, history);
  log::linef(log::Level::Info,
             "quillFin: identity source ready — %d frames %dx%d, played straight from %s (%s); "
             "nothing is unpacked to disk",
             m.NT, m.crop, m.crop, name.c_str(), srcName.c_str());
  return cursor;
}

namespace driver {
namespace {

class CursorPriorStream final : public PriorStream {
 public:
  explicit CursorPriorStream(std::unique_ptr<DriverCursor> c) : c_(std::move(c)) {}
  const uint8_t* pullAt(int si) override { return c_->pullAt(si, static_cast<int*>(nullptr)); }
  void pullAt(int si, uint8_t* dst) override { c_->pullAt(si, dst); }
  const std::string& sourceName() const override { return c_->sourceName(); }
  int position() const override { return c_->position(); }
  int64_t seeks() const override { return c_->seeks(); }
  int64_t residentBytes() const override { return c_->residentBytes(); }

 private:
  std::unique_ptr<DriverCursor> c_;
};

}  // namespace

std::unique_ptr<PriorStream> openPriorStream(const Manifest& m) {
  return std::make_unique<CursorPriorStream>(DriverCursor::openPrior(m, 2, 11));
}

}  // namespace driver

}  // namespace le
