// Manifest key scanner and loader: any text must load or be refused, every
// hit must lie inside the text, and lookups must agree with the scan.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_bytes.h"
#include "fuzz_scratch.h"
#include "le/bundle/manifest.h"
#include "le/bundle/manifest_key.h"

namespace {

constexpr const char* kKeys[] = {"format", "agent", "NT", "frame_count", "H", "W", "crop",
                                 "crop_size", "amount", "sigma", "ksize", "frames", "M_src_w",
                                 "M_src_h", "paste_source_width", "paste_source_height", ""};

void checkKey(const std::string& text, const char* key) {
  const auto hits = le::manifest_key::keyHits(text, key);
  for (const auto& h : hits) {
    if (h.pos > text.size()) std::abort();
    if (h.scalar && h.pos >= text.size()) std::abort();
  }
  uint64_t pos = le::manifest_key::kAbsent;
  if (le::fuzz::refused([&] { pos = le::manifest_key::scalarValuePos(text, key); })) return;
  if (pos != le::manifest_key::kAbsent) {
    bool listed = false;
    for (const auto& h : hits) listed |= h.scalar && h.pos == pos;
    if (!listed) std::abort();
    (void)le::parseNumber(text.c_str() + pos);
  }
  std::string s;
  (void)le::optStr(text, key, s);
  (void)le::optStrNonEmpty(text, key, s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* k : kKeys) checkKey(text, k);

  const std::string& dir =
      le::fuzz::scratchDir("manifest_fuzz", [](const std::string&) { ::unsetenv("CADENZA2_MSRC_MISSING_OK"); });
  le::fuzz::writeFile(dir + "/manifest.json", data, size);
  (void)le::fuzz::refused([&] {
    const le::Manifest m = le::loadManifest(dir);
    if (m.NT < 1 || m.H < 1 || m.W < 1 || m.crop < 1 || m.frames < 0 || m.srcW < 1 || m.srcH < 1 ||
        m.unsharp.ksize < 1 || m.unsharp.ksize % 2 == 0 || !(m.unsharp.sigma > 0.0f) ||
        !std::isfinite(m.unsharp.sigma) || !std::isfinite(m.unsharp.amount))
      std::abort();
  });
  return 0;
}
