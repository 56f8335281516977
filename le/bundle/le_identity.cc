// The identity's mapped priors, paste matrices and the HEVC prior stream.
#include "le/bundle/identity.h"

#include <sys/stat.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "le/bundle/fsutil.h"
#include "le/bundle/manifest_key.h"
#include "le/bundle/paths.h"
#include "le/bundle/rawfile.h"

namespace le {

namespace {

constexpr int64_t kPooledBytes = 64 * 32 * 32 * 2;  // 131072 per frame
constexpr int64_t kFsRedBytes = 64 * 64 * 64 * 2;   // 524288 per frame
constexpr int64_t kMFloats = 6;                     // 2 x 3 affine

bool statExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string indexError(const char* what, int si, int NT) {
  return std::string("le::Identity::") + what + ": si " + std::to_string(si) + " outside [0," +
         std::to_string(NT) + ")";
}

}  // namespace

struct Identity::Mapping {
  raw::Mapping map;
  uint64_t frameBytes = 0;
};

void ensureIdentityMembers(const Manifest& manifest) {
  const std::string text = manifestText(manifest.dir);
  const std::string& dir = manifest.dir;
  const NamedMember rgb = memberNamedBy(text, "P_rgb", "P.f16");
  const std::string& R = rgb.name;
  const bool haveP = statExists(resolveMember(dir, "P.f16"));
  const bool haveFsRed = statExists(resolveMember(dir, "fs_red.f16"));
  if (R != "P.f16" && statExists(resolveMember(dir, R, rgb.what)) && !haveP && !haveFsRed)
    throw std::runtime_error(
        "this bundle's manifest names its raw warp prior '" + R +
        "' (P_rgb) but le::Identity maps the welded name P.f16 and would find nothing — it maps "
        "NOTHING silently and Identity::P(si) is then an offset from a null pointer. REFUSING "
        "rather than rendering off a prior nothing will read.");
  if (haveP || haveFsRed) return;
  const NamedMember named = memberNamedBy(text, "P_hevc", "");
  const std::string& hevc = named.name;
  if (hevc.empty())
    throw std::runtime_error(
        "this bundle carries neither " + R +
        " nor fs_red.f16, and its manifest names no P_hevc member to play one from — the "
        "renderer has no warp prior and le::Identity would hand it a null pointer. REFUSING to "
        "create a session.");
  const std::string path = resolveMember(dir, hevc, named.what);
  if (!statExists(path))
    throw std::runtime_error("this bundle's manifest names P_hevc '" + hevc +
                             "' and the file is not there (" + path +
                             ") — the renderer has no warp prior. REFUSING to create a session.");
}

Identity::Identity(const Manifest& manifest, PriorOpener openPrior)
    : NT_(manifest.NT), crop_(manifest.crop), manifest_(manifest), openPrior_(std::move(openPrior)) {
  // A hand-built manifest may skip loadManifest's dims check; every offset
  // below relies on it.
  if (NT_ < 1 || crop_ < 1) throw std::runtime_error("le::Identity: bad dims");
  ensureIdentityMembers(manifest_);
  const std::string& dir = manifest_.dir;

  // Every size is computed and checked before any file is looked at, so a
  // manifest with absurd numbers is refused whatever the members hold.
  const uint64_t pooledBytes = raw::checkedProduct({NT_, kPooledBytes}, "pooled64.f16");
  const uint64_t pBytes = raw::checkedProduct({NT_, crop_, crop_, 6}, "P.f16");
  const uint64_t pFrame = pBytes / uint64_t(NT_);
  const uint64_t fsBytes = raw::checkedProduct({NT_, kFsRedBytes}, "fs_red.f16");
  raw::checkedProduct({NT_, kMFloats, 4}, "M.f32");

  pooled64_ = std::make_unique<Mapping>();
  pooled64_->map = raw::mapFile(resolveMember(dir, "pooled64.f16"), pooledBytes);
  pooled64_->frameBytes = uint64_t(kPooledBytes);

  const std::string pPath = resolveMember(dir, "P.f16");
  const std::string fsPath = resolveMember(dir, "fs_red.f16");
  // Present decides which prior is read; mapping it refuses anything that is
  // not a regular file of the declared size.
  const bool fsReadable = fs::exists(fsPath);
  if (fs::exists(pPath)) {
    P_ = std::make_unique<Mapping>();
    P_->map = raw::mapFile(pPath, pBytes);
    P_->frameBytes = pFrame;
  } else if (!fsReadable) {
    const NamedMember hevc = memberNamedBy(manifestText(dir), "P_hevc", "P_hevc.mov");
    const std::string path = resolveMember(dir, hevc.name, hevc.what);
    if (fs::readable(path)) hevcPath_ = path;
  }
  if (fsReadable) {
    fsRed_ = std::make_unique<Mapping>();
    fsRed_->map = raw::mapFile(fsPath, fsBytes);
    fsRed_->frameBytes = uint64_t(kFsRedBytes);
  }

  M_ = raw::readRaw<float>(resolveMember(dir, "M.f32"), int64_t(NT_) * kMFloats, "M.f32");
  rescaleM();
}

// prior_ is declared after the mappings, so its thread stops before they go.
Identity::~Identity() = default;

void Identity::rescaleM() {
  const Manifest& m = manifest_;
  if (m.srcW <= 0 || m.srcH <= 0)
    throw std::runtime_error(
        "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing to "
        "paste M without knowing the space it was authored in");
  if (m.srcW == m.W && m.srcH == m.H) return;
  const double sx = double(m.W) / double(m.srcW);
  const double sy = double(m.H) / double(m.srcH);
  for (size_t f = 0; f + kMFloats <= M_.size(); f += kMFloats) {
    for (size_t k = 0; k < 3; ++k) M_[f + k] = float(double(M_[f + k]) * sx);
    for (size_t k = 3; k < 6; ++k) M_[f + k] = float(double(M_[f + k]) * sy);
  }
}

void Identity::checkIndex(const char* what, int si) const {
  if (si < 0 || si >= NT_) throw std::out_of_range(indexError(what, si, NT_));
}

const uint16_t* Identity::pooled64(int si) const {
  checkIndex("pooled64", si);
  return reinterpret_cast<const uint16_t*>(pooled64_->map.data() +
                                           uint64_t(si) * pooled64_->frameBytes);
}

const uint16_t* Identity::P(int si) {
  checkIndex("P", si);
  if (P_) return reinterpret_cast<const uint16_t*>(P_->map.data() + uint64_t(si) * P_->frameBytes);
  PriorStream* c = requirePrior("P");
  std::lock_guard<std::mutex> lock(priorMutex_);
  return reinterpret_cast<const uint16_t*>(c->pullAt(si));
}

void Identity::copyP(int si, uint16_t* dst) {
  checkIndex("copyP", si);
  if (!dst) throw std::invalid_argument("le::Identity::copyP: null destination");
  if (P_) {
    std::memcpy(dst, P_->map.data() + uint64_t(si) * P_->frameBytes,
                static_cast<size_t>(P_->frameBytes));
    return;
  }
  PriorStream* c = requirePrior("copyP");
  std::lock_guard<std::mutex> lock(priorMutex_);
  c->pullAt(si, reinterpret_cast<uint8_t*>(dst));
}

void Identity::walkP(int si) {
  checkIndex("walkP", si);
  if (!hasHevcPrior()) return;
  PriorStream* c = prior();
  std::lock_guard<std::mutex> lock(priorMutex_);
  c->pullAt(si);
}

const uint16_t* Identity::fsRed(int si) const {
  checkIndex("fsRed", si);
  if (!fsRed_) throw std::logic_error("le::Identity::fsRed: fs_red.f16 is not mapped");
  return reinterpret_cast<const uint16_t*>(fsRed_->map.data() +
                                           uint64_t(si) * fsRed_->frameBytes);
}

const float* Identity::M(int si) const {
  checkIndex("M", si);
  return M_.data() + size_t(si) * kMFloats;
}

bool Identity::hasRawP() const { return P_ != nullptr; }
bool Identity::hasFsRed() const { return fsRed_ != nullptr; }
bool Identity::hasHevcPrior() const { return !P_ && !hevcPath_.empty(); }

PriorStream* Identity::prior() {
  if (!hasHevcPrior()) return nullptr;
  std::call_once(priorOnce_, [&] {
    if (!openPrior_)
      throw std::logic_error("le::Identity: " + hevcPath_ + " needs a prior opener to be played");
    prior_ = openPrior_(manifest_);
  });
  return prior_.get();
}

PriorStream* Identity::requirePrior(const char* what) {
  if (!hasHevcPrior())
    throw std::logic_error(std::string("le::Identity::") + what +
                           ": this bundle has no warp prior to read (no P.f16, no playable P_hevc)");
  return prior();
}

std::string Identity::priorBackend() {
  if (P_) return "mmap P.f16";
  if (PriorStream* c = prior()) return c->sourceName();
  return "none";
}

int64_t Identity::priorSeeks() {
  PriorStream* c = prior();
  return c ? c->seeks() : 0;
}

int64_t Identity::priorResidentBytes() {
  PriorStream* c = prior();
  return c ? c->residentBytes() : 0;
}

}  // namespace le
