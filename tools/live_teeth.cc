#include "live_teeth.h"

#include <memory>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "input_file.h"
#include "le/le_tessera.h"
#include "le/tessera/bankdec.h"

namespace le::tool {
namespace {

constexpr uint64_t kMaxTrackBytes = uint64_t(1) << 30;

using Members = std::unique_ptr<le_tessera_members, void (*)(le_tessera_members*)>;

// The track's frames in track order, then put in donor order by the members.
std::vector<uint8_t> donorPatches(const le_tessera_members* m) {
  // The decoder refuses more than 1 GiB of patches; the track is compressed.
  const std::string track = InputFile(le_tessera_members_bank_track_path(m), kMaxTrackBytes, "bank track").readAll();
  const int n = le_tessera_members_n_donors(m);
  std::vector<int> trackOrder(static_cast<size_t>(n));
  std::iota(trackOrder.begin(), trackOrder.end(), 0);
  const std::vector<uint8_t> frames =
      tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(), n,
                               le_tessera_members_band_h(m), le_tessera_members_band_w(m), trackOrder);
  std::vector<uint8_t> donors(frames.size());
  char err[1024] = {};
  if (le_tessera_members_reorder(m, frames.data(), donors.data(), err, sizeof err) != 0)
    throw std::runtime_error(std::string("cannot put the bank in donor order: ") + err);
  return donors;
}

}  // namespace

void attachTeeth(le_utt* u, const std::string& bundleDir) {
  char err[2048] = {};
  Members m(le_tessera_members_open(bundleDir.c_str(), err, sizeof err), le_tessera_members_close);
  if (!m) throw std::runtime_error(std::string("--teeth: cannot load the teeth members: ") + err);
  std::vector<uint8_t> donors;
  try {
    donors = donorPatches(m.get());
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("--teeth: cannot decode the bank track: ") + e.what());
  }
  const le_tessera_members* p = m.get();
  if (le_utt_tessera_attach(u, donors.data(), le_tessera_members_n_donors(p), le_tessera_members_cent(p),
                            le_tessera_members_c_canon(p), le_tessera_members_aperture(p),
                            le_tessera_members_stamp(p), le_tessera_members_head_pt(p),
                            le_tessera_members_head_pt_len(p), le_tessera_members_head_json(p),
                            le_tessera_members_manifest_json(p), err, sizeof err) != 0)
    throw std::runtime_error(std::string("--teeth: ") + err);
}

TeethCounts teethCounts(le_utt* u) {
  TeethCounts c;
  char msg[1024] = {};
  c.state = le_utt_tessera_stats(u, &c.ok, &c.failures, msg, sizeof msg);
  c.message = msg;
  return c;
}

std::string teethLine(const TeethCounts& c) {
  std::string s = c.state < 0 ? "teeth: FAILED, delivery stopped; " : "teeth: ";
  s += "borrowed " + std::to_string(c.ok) + " crops, " + std::to_string(c.failures) + " failures";
  if (!c.message.empty()) s += ": " + c.message;
  return s;
}

}  // namespace le::tool
