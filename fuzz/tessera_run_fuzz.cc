// le_tessera_run(_shift) with fuzzed arguments on small stamps: arrays are
// exactly as large as a coherent stamp names (one byte when it is not, so a
// read before the stamp is checked trips the address sanitizer), the head is
// a valid checkpoint or fuzzed bytes, the configuration valid or fuzzed text.
// Every call returns 0 with an empty message and a 0/1 flag per frame
// (pass-through slots untouched), or 1 with a "teeth" message and outputs
// untouched by a refusal of the arguments.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_bytes.h"
#include "fuzz_scratch.h"
#include "le/le_tessera.h"
#include "le/tessera/le_tessera.h"

namespace {

using le::fuzz::Bytes;

// A BlendHead8 checkpoint written once per process by the fixture generator.
const std::vector<uint8_t>& validHead() {
  static const std::vector<uint8_t> pt = [] {
    const std::string dir = le::fuzz::scratchDir("tessera_run_fuzz") + "/heads";
    le::fuzz::runFixture("tessera heads --out " + dir);
    const std::string b = le::fuzz::readFile(dir + "/blendhead8.pt");
    if (b.empty()) std::abort();
    return std::vector<uint8_t>(b.begin(), b.end());
  }();
  return pt;
}

std::string jsonOf(Bytes& in) {
  const uint8_t k = in.u8();
  if (k == 255) {
    std::string text(in.u8(), ' ');
    for (char& c : text) c = char(in.u8());
    return text;
  }
  const int K = 1 + in.u8() % 4;
  return "{\"retrieval\":{\"kshort\":" + std::to_string(1 + in.u8() % 8) + ",\"aperture_tol\":" +
         std::to_string(in.real(0.5, 1.0)) + ",\"cut\":" + std::to_string(1 + in.u8() % 8) + ",\"K\":" +
         std::to_string(K) + "},\"temporal\":{\"hysteresis\":" + std::to_string(in.u8() % (K + 1)) +
         ",\"lookahead\":" + std::to_string(in.u8() % (K + 1)) + "}}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes in{data, size};
  // Canvas 24, window 16 x 12 at (4, 6), band rows 2..10 and columns 3..13,
  // pad 3, margin 2; fields sometimes moved by -27..27 or any int32.
  std::vector<int32_t> stamp(12);
  in.nudgedFields(stamp.data(), {24, 24, 4, 6, 16, 12, 3, 2, 10, 3, 13, 2});
  le::tessera::GeometryStamp s;
  std::copy(stamp.begin(), stamp.end(), &s.canvas_w);
  bool coherent = true;
  try {
    s.validate();
  } catch (const std::exception&) {
    coherent = false;
  }
  if (coherent && int64_t(s.canvas_w) * s.canvas_h > 64 * 64) return 0;  // keep runs small
  const uint8_t dk = in.u8();
  const int n_donors = dk == 255 ? in.raw<int32_t>() : dk % 6 - 1;
  const uint8_t fk = in.u8();
  const int n_frames = fk == 255 ? -1 - fk % 3 : fk % 4;
  const bool sized = coherent && n_donors >= 1 && n_donors <= 1024 && n_frames >= 0;
  // Never empty, so no array reaches the call as a null pointer.
  auto count = [&](int64_t n) { return sized && n > 1 ? size_t(n) : size_t(1); };
  const int64_t band = coherent ? (int64_t(s.band_c1 - s.band_c0) + 2 * s.shift_margin) *
                                      (int64_t(s.band_r1 - s.band_r0) + 2 * s.shift_margin) * 3
                                : 0;
  // An incoherent stamp's fields are arbitrary: no size is formed from them.
  const int64_t area = coherent ? int64_t(s.canvas_w) * s.canvas_h : 0;
  const int64_t window = coherent ? int64_t(s.window_w) * s.window_h * 3 : 0;
  std::vector<uint8_t> track(count(band * n_donors), uint8_t(in.u8()));
  for (size_t i = 0; i < track.size(); ++i) track[i] = uint8_t(track[i] + i * 7);
  std::vector<double> canon = {in.real(12, 16), in.real(12, 16)}, cent(count(2 * int64_t(n_donors))),
                      aperture(count(n_donors));
  for (size_t i = 0; i < cent.size(); ++i) cent[i] = in.real(canon[i % 2], 8);
  for (double& a : aperture) a = in.real(5, 10);
  const std::string json = jsonOf(in);
  std::vector<uint8_t> head = validHead();
  const uint8_t hk = in.u8();
  if (hk >= 250) {  // fuzzed bytes instead of the checkpoint
    head.resize(in.u8());
    for (uint8_t& b : head) b = in.u8();
  }
  const int64_t headLen = hk == 249 ? -int64_t(in.u8()) : int64_t(head.size());
  std::vector<uint8_t> frames(count(area * 3 * n_frames)), masks(count(area * n_frames));
  in.frameAndMask(frames, masks);
  const bool shifted = in.u8() & 1;
  std::vector<int32_t> shifts(count(2 * n_frames));
  for (size_t i = 0; i < shifts.size(); i += 2) {
    const uint8_t k = in.u8();
    shifts[i] = k < 64 ? -10000 : in.coord(10);
    if (i + 1 < shifts.size()) shifts[i + 1] = in.coord(10);
  }
  std::vector<uint8_t> windows(count(window * n_frames), 0xA5);
  std::vector<int32_t> pass(count(n_frames), -7);
  char err[256];
  const int rc = shifted ? le_tessera_run_shift(track.data(), n_donors, cent.data(), canon.data(), aperture.data(),
                                                stamp.data(), head.data(), headLen, json.c_str(), frames.data(),
                                                masks.data(), shifts.data(), n_frames, windows.data(), pass.data(),
                                                err, int(sizeof err))
                         : le_tessera_run(track.data(), n_donors, cent.data(), canon.data(), aperture.data(),
                                          stamp.data(), head.data(), headLen, json.c_str(), frames.data(),
                                          masks.data(), n_frames, windows.data(), pass.data(), err, int(sizeof err));
  if (rc == 1) {  // every refusal comes before the first frame
    if (std::string(err).rfind("teeth", 0) != 0) std::abort();
    for (const int32_t p : pass)
      if (p != -7) std::abort();
    return 0;
  }
  if (rc != 0 || err[0] != 0 || !sized) std::abort();
  for (size_t f = 0; f < size_t(n_frames); ++f) {
    if (pass[f] != 0 && pass[f] != 1) std::abort();
    if (pass[f] == 1)
      for (size_t k = 0; k < size_t(window); ++k)
        if (windows[f * size_t(window) + k] != 0xA5) std::abort();
  }
  return 0;
}
