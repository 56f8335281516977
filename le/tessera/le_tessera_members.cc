// Loading the four members into TesseraAttachInputs: the sidecar and the
// manifest cross-checked key by key, in a fixed order, refusing on the first
// disagreement. Numbers that become int32 must fit before they are cast.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "le/bundle/paths.h"
#include "le/bundle/manifest.h"
#include "le/tessera/bundle_tessera.h"
#include "le/tessera/member_file.h"
#include "le/tessera/tessera_carriage.h"
#include "le/tessera/tessera_json.h"

namespace le {

namespace {

using tessera::GeometryStamp;
using tessera::json::JVal;

constexpr int kMaxDonors = 1024;

struct StampKey {
  const char* key;
  int32_t GeometryStamp::*field;
};
constexpr StampKey kStampKeys[] = {
    {"canvas_w", &GeometryStamp::canvas_w},   {"canvas_h", &GeometryStamp::canvas_h},
    {"window_x0", &GeometryStamp::window_x0}, {"window_y0", &GeometryStamp::window_y0},
    {"window_w", &GeometryStamp::window_w},   {"window_h", &GeometryStamp::window_h},
    {"pad", &GeometryStamp::pad},             {"band_r0", &GeometryStamp::band_r0},
    {"band_r1", &GeometryStamp::band_r1},     {"band_c0", &GeometryStamp::band_c0},
    {"band_c1", &GeometryStamp::band_c1},     {"shift_margin", &GeometryStamp::shift_margin},
};

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error(what); }

// Truncated toward zero; refused unless it fits int32 (NaN does not).
int32_t toInt32(double v, const std::string& label, const std::string& key) {
  const double t = std::trunc(v);
  if (!(t >= double(std::numeric_limits<int32_t>::min()) &&
        t <= double(std::numeric_limits<int32_t>::max())))
    refuse("teeth: " + label + " '" + key + "' is outside the int32 range");
  return int32_t(t);
}

// A numeric entry holding another JSON type reads as 0.
double numberOf(const JVal& v) { return v.isNum() ? v.num : 0.0; }

GeometryStamp readStamp(const JVal& geometry, const std::string& label) {
  GeometryStamp s{};
  for (const StampKey& k : kStampKeys)
    s.*k.field = toInt32(tessera::json::reqNum(geometry, k.key, label), label, k.key);
  return s;
}

std::string stampText(const GeometryStamp& s) {
  std::string t = "{";
  for (const StampKey& k : kStampKeys) {
    if (t.size() > 1) t += ", ";
    t += std::string(k.key) + "=" + std::to_string(s.*k.field);
  }
  return t + "}";
}

bool sameStamp(const GeometryStamp& a, const GeometryStamp& b) {
  for (const StampKey& k : kStampKeys)
    if (a.*k.field != b.*k.field) return false;
  return true;
}

// Everything a step needs to name what it refuses.
struct Load {
  std::string dir, sidecarName, manifestPath;
  JVal sidecar, manifest;
  TesseraAttachInputs in;

  const JVal* tesseraBlock() const {
    const JVal* t = manifest.find("tessera");
    return t && t->isObj() ? t : nullptr;
  }

  void readFiles(const TesseraCarriage& c) {
    manifestPath = tessera::manifestPath(dir);
    if (manifestPath.empty())
      refuse(dir +
             " carries no manifest.json or meta.json — the compose descriptor (unified.pi) the "
             "pass places its window by lives there, and placing a borrow window without it is "
             "guessing.");
    in.manifest_json = tessera::readMemberText(manifestPath);
    in.head_json = tessera::readMemberText(c.paths[3]);
    in.head_pt = tessera::readMemberBytes(c.paths[2]);
    in.bank_track_path = c.paths[0];
    sidecar = tessera::json::parseJson(tessera::readMemberText(c.paths[1]), sidecarName);
    manifest = tessera::json::parseJson(in.manifest_json, manifestPath);
  }

  void checkFormat() const {
    const std::string format = tessera::json::optStr(sidecar, "format", "");
    if (format != "tessera_bank.v1")
      refuse(sidecarName + " declares format '" + format +
             "', not 'tessera_bank.v1' — this reader does not know that generation and will not "
             "guess at its keys.");
  }

  void readGeometry() {
    const JVal* geometry = sidecar.find("geometry");
    if (!geometry || !geometry->isObj()) refuse(sidecarName + " carries no `geometry` stamp");
    in.stamp = readStamp(*geometry, sidecarName + ".geometry");
    const JVal* block = tesseraBlock();
    const JVal* stated = block ? block->find("geometry") : nullptr;
    if (stated && stated->isObj()) {
      const GeometryStamp m = readStamp(*stated, "manifest.tessera.geometry");
      if (!sameStamp(m, in.stamp))
        refuse("teeth geometry DISAGREES between the manifest and the bank sidecar — manifest " +
               stampText(m) + " vs " + sidecarName + " " + stampText(in.stamp) +
               "; refusing to place a window on a rectangle the two halves of the bundle do not "
               "agree on.");
    }
  }

  // A coherent stamp first, so the band arithmetic below works on sane values.
  void bandSize() {
    in.stamp.validate();
    const GeometryStamp& s = in.stamp;
    const int64_t w = int64_t(s.band_c1) - s.band_c0 + 2 * int64_t(s.shift_margin);
    const int64_t h = int64_t(s.band_r1) - s.band_r0 + 2 * int64_t(s.shift_margin);
    if (w <= 0 || h <= 0)
      refuse("teeth stamp yields a non-positive stored patch (" + std::to_string(w) + "x" +
             std::to_string(h) + ")");
    in.band_w = toInt32(double(w), sidecarName + ".geometry", "band width");
    in.band_h = toInt32(double(h), sidecarName + ".geometry", "band height");
  }

  void donorCount() {
    const int32_t n =
        toInt32(tessera::json::reqNum(sidecar, "n_donors", sidecarName), sidecarName, "n_donors");
    if (n < 1) refuse(sidecarName + " says n_donors=" + std::to_string(n));
    if (n > kMaxDonors)
      refuse(sidecarName + " carries n_donors=" + std::to_string(n) +
             ", over the owner's cap of 1024 (ruling 2026-08-28). This reader REFUSES rather than "
             "capping: the selector is the bank's BUILD-time cap selector, and a second one here "
             "would change which donors reach the mouth while every count-based check stayed "
             "green. Rebuild the bank.");
    in.n_donors = n;
  }

  void donorArrays() {
    const JVal* order = sidecar.find("track_order");
    const JVal* cent = sidecar.find("cent");
    const JVal* aperture = sidecar.find("aperture");
    const JVal* canon = sidecar.find("c_canon");
    if (!order || !order->isArr() || !cent || !cent->isArr() || !aperture || !aperture->isArr() ||
        !canon || !canon->isArr())
      refuse(sidecarName + " lacks one of track_order/cent/aperture/c_canon as an array");
    const size_t n = size_t(in.n_donors);
    if (order->arr.size() != n || cent->arr.size() != n || aperture->arr.size() != n)
      refuse(sidecarName + " says n_donors=" + std::to_string(n) + " but carries track_order=" +
             std::to_string(order->arr.size()) + ", cent=" + std::to_string(cent->arr.size()) +
             ", aperture=" + std::to_string(aperture->arr.size()) +
             " — a count mismatch silently mis-orders the donors.");
    if (canon->arr.size() != 2) refuse(sidecarName + " c_canon is not a pair");
    readTrackOrder(*order);
    for (size_t i = 0; i < n; ++i) {
      const JVal& xy = cent->arr[i];
      if (!xy.isArr() || xy.arr.size() != 2)
        refuse(sidecarName + " cent[" + std::to_string(i) + "] is not an (x,y) pair");
      in.cent.push_back(numberOf(xy.arr[0]));
      in.cent.push_back(numberOf(xy.arr[1]));
    }
    for (const JVal& a : aperture->arr) in.aperture.push_back(numberOf(a));
    in.c_canon = {numberOf(canon->arr[0]), numberOf(canon->arr[1])};
  }

  void readTrackOrder(const JVal& order) {
    const int32_t n = in.n_donors;
    std::vector<bool> seen(size_t(n), false);
    for (size_t i = 0; i < order.arr.size(); ++i) {
      const std::string key = "track_order[" + std::to_string(i) + "]";
      const int32_t v = toInt32(numberOf(order.arr[i]), sidecarName, key);
      if (v < 0 || v >= n)
        refuse(sidecarName + " " + key + "=" + std::to_string(v) + " is outside [0," +
               std::to_string(n) + ")");
      if (seen[size_t(v)])
        refuse(sidecarName + " track_order is not a permutation (reference " + std::to_string(v) +
               " appears twice) — the inverse permutation would leave a reference slot never "
               "written and the pass would blend uninitialised memory into a real mouth.");
      seen[size_t(v)] = true;
      in.track_order.push_back(v);
    }
  }

  void trackFormat() {
    const JVal* block = tesseraBlock();
    in.bank_container = block ? tessera::json::optStr(*block, "bank_container", "mp4") : "mp4";
    in.bank_packing =
        block ? tessera::json::optStr(*block, "bank_packing", "rgb24_frames") : "rgb24_frames";
    std::string codec, pixFmt;
    if (const JVal* c = sidecar.find("codec"); c && c->isObj()) {
      codec = tessera::json::optStr(*c, "codec", "");
      pixFmt = tessera::json::optStr(*c, "pix_fmt", "");
    }
    in.bank_codec = block ? tessera::json::optStr(*block, "bank_codec", codec) : codec;
    in.bank_pix_fmt = block ? tessera::json::optStr(*block, "bank_pix_fmt", pixFmt) : pixFmt;
    if (in.bank_pix_fmt.empty())
      refuse(dir + ": neither manifest.tessera.bank_pix_fmt nor " + sidecarName +
             ".codec.pix_fmt states the reference track's pixel format. A decoder handed no "
             "format negotiates one, and the one it settles on is 4:2:0 — lossy chroma on "
             "reference pixels IS the borrow degrading. Refusing rather than letting it guess.");
  }
};

}  // namespace

std::string tesseraStampText(const tessera::GeometryStamp& s) { return stampText(s); }

uint64_t TesseraAttachInputs::bandBytes() const {
  if (n_donors <= 0 || band_w <= 0 || band_h <= 0) return 0;
  return uint64_t(n_donors) * uint64_t(band_h) * uint64_t(band_w) * 3;
}

TesseraAttachInputs loadTesseraMembers(const std::string& bundle) {
  Load l;
  l.dir = resolveBundlePath(bundle);
  const TesseraCarriage c = tessera::carriageOfDir(l.dir);
  requireTesseraMembers(c);
  l.sidecarName = c.names.bank_sidecar;
  l.readFiles(c);
  l.checkFormat();
  l.readGeometry();
  l.bandSize();
  l.donorCount();
  l.donorArrays();
  l.trackFormat();
  return std::move(l.in);
}

TesseraAttachInputs loadTesseraMembers(const Manifest& manifest) {
  return loadTesseraMembers(manifest.dir);
}

void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* track, uint8_t* donor) {
  if (!track || !donor) refuse("teeth: null band buffer");
  if (in.n_donors < 0 || in.track_order.size() != size_t(in.n_donors))
    refuse("teeth: track_order does not match n_donors");
  if (in.band_w <= 0 || in.band_h <= 0) refuse("teeth: zero reference stride");
  const size_t n = in.track_order.size();
  std::vector<bool> seen(n, false);
  for (int32_t d : in.track_order) {
    if (d < 0 || size_t(d) >= n || seen[size_t(d)]) refuse("teeth: track_order is not a permutation");
    seen[size_t(d)] = true;
  }
  const uint64_t band = uint64_t(in.band_w) * uint64_t(in.band_h) * 3;
  const uint64_t total = band * n;
  const auto a = reinterpret_cast<uintptr_t>(track), b = reinterpret_cast<uintptr_t>(donor);
  if (total && a < b + total && b < a + total) refuse("teeth: band buffers overlap");
  for (size_t i = 0; i < n; ++i)
    std::copy_n(track + i * band, band, donor + uint64_t(in.track_order[i]) * band);
}

}  // namespace le
