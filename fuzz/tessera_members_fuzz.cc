// Tessera member loader: a fuzzed manifest and bank sidecar (the input split
// at its first NUL byte) beside fixed members must load into coherent inputs
// or be refused; the carriage never refuses.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_bytes.h"
#include "fuzz_scratch.h"
#include "le/le.h"
#include "le/tessera/bundle_tessera.h"

namespace {

void checkLoaded(const le::TesseraAttachInputs& in) {
  const size_t n = size_t(in.n_donors);
  if (in.n_donors < 1 || in.n_donors > 1024 || in.track_order.size() != n || in.cent.size() != 2 * n ||
      in.aperture.size() != n || in.band_w <= 0 || in.band_h <= 0 || in.bank_pix_fmt.empty())
    std::abort();
  std::vector<bool> seen(n, false);
  for (int32_t d : in.track_order) {
    if (d < 0 || size_t(d) >= n || seen[size_t(d)]) std::abort();
    seen[size_t(d)] = true;
  }
  in.stamp.validate();  // a loaded stamp is coherent: this must not throw
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t cut = text.find('\0');
  const std::string& dir = le::fuzz::scratchDir("tessera_members", [](const std::string& t) {
    le_log_set([](int, const char*, void*) {}, nullptr);  // refusals of fuzzed names
    le::fuzz::writeFile(t + "/tessera_bank.v1.mp4", "track");
    le::fuzz::writeFile(t + "/tessera_head.v1.pt", "head");
    le::fuzz::writeFile(t + "/tessera_head.v1.json", "{}");
  });
  le::fuzz::writeFile(dir + "/manifest.json", text.substr(0, cut));
  le::fuzz::writeFile(dir + "/tessera_bank.v1.json", cut == std::string::npos ? "" : text.substr(cut + 1));
  const le::TesseraCarriage c = le::tesseraCarriage(dir);
  for (const std::string& m : c.missing)
    if (m != "bank_track" && m != "bank_sidecar" && m != "head_weights" && m != "head_config") std::abort();
  le::TesseraAttachInputs in;
  // Refused (MissingTesseraMember too: a renamed member that is not there), or coherent.
  if (!le::fuzz::refused([&] { in = le::loadTesseraMembers(dir); })) checkLoaded(in);
  return 0;
}
