// le-tessera-info: what a bundle carries for the teeth borrow and whether it
// loads: the four member slots with their paths, the bank's geometry, the
// blend head and its serve configuration, the bank track decoded into donor
// order, and optionally a sheet of every donor patch. A refusal is printed as
// one line and the exit status is 1.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "output_file.h"
#include "contact_sheet.h"
#include "le/bundle/paths.h"
#include "le/tessera/bankdec.h"
#include "le/tessera/bundle_tessera.h"
#include "le/tessera/head.h"
#include "le/tessera/member_file.h"

namespace {

constexpr const char* kUsage =
    "usage: le-tessera-info BUNDLE [--sheet OUT.png]\n"
    "  BUNDLE        a bundle directory or IMX container\n"
    "  --sheet PATH  write every donor patch, in donor order, as a PNG grid\n";

struct Options {
  std::string bundle;
  std::string output;  // the sheet; empty: none
};

std::optional<Options> parse(int argc, char** argv) {
  Options o;
  le::tool::ArgWalk args(argc, argv);
  while (args.next()) {
    const std::string& a = args.name();
    if (a == "-h" || a == "--help") return std::nullopt;
    if (a == "--sheet") {
      o.output = args.value();
    } else if (args.isOption()) {
      throw le::tool::UsageError("unknown option " + a);
    } else if (o.bundle.empty()) {
      o.bundle = a;
    } else {
      throw le::tool::UsageError("one bundle only");
    }
  }
  if (o.bundle.empty()) throw le::tool::UsageError("no bundle given");
  return o;
}

void printCarriage(const std::string& dir, const le::TesseraCarriage& c) {
  std::printf("bundle %s\n", dir.c_str());
  std::printf("manifest.tessera %s", c.declared ? "declared" : "absent");
  for (size_t i = 0; i < c.planes.size(); ++i)
    std::printf("%s%s", i ? ", " : "; planes ", c.planes[i].c_str());
  std::printf("\n");
  for (int i = 0; i < le::tesseraSlotCount(); ++i) {
    const std::string key = le::tesseraSlotKeys()[i];
    bool missing = false;
    for (const std::string& m : c.missing) missing = missing || m == key;
    std::printf("  %-13s %-8s %s\n", key.c_str(), missing ? "missing" : "present",
                c.paths[size_t(i)].c_str());
  }
  std::printf("members: %d of 4\n", le::tesseraSlotCount() - int(c.missing.size()));
}

std::string stampText(const le::tessera::GeometryStamp& s) {
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "canvas %dx%d, window %dx%d at (%d,%d), pad %d, band rows %d..%d cols %d..%d, "
                "shift margin %d",
                s.canvas_w, s.canvas_h, s.window_w, s.window_h, s.window_x0, s.window_y0, s.pad,
                s.band_r0, s.band_r1, s.band_c0, s.band_c1, s.shift_margin);
  return buf;
}

void printMembers(const le::TesseraAttachInputs& in) {
  std::printf("bank: %d donors of %dx%d, %s %s in %s (%s)\n", in.n_donors, in.band_w, in.band_h,
              in.bank_codec.c_str(), in.bank_pix_fmt.c_str(), in.bank_container.c_str(),
              in.bank_packing.c_str());
  std::printf("stamp: %s\n", stampText(in.stamp).c_str());
  std::printf("c_canon: (%.3f, %.3f)\n", in.c_canon[0], in.c_canon[1]);
  const le::tessera::HeadWeights w = le::tessera::loadHeadPt(in.head_pt);
  std::printf("head: %s, %lld params, %zu bytes\n", w.params() == 4082 ? "BlendHead(16)" : "BlendHead8(16)",
              static_cast<long long>(w.params()), in.head_pt.size());
  const auto s = le::tessera::ServeConfig::fromHeadMemberJson(in.head_json);
  std::printf("serve: kshort %d, aperture_tol %g, cut %d, K %d, hysteresis %d, lookahead %d\n",
              s.kshort, s.aperture_tol, s.cut, s.K, s.hysteresis, s.lookahead);
}

std::vector<uint8_t> decodeBank(const le::TesseraAttachInputs& in) {
  const std::vector<uint8_t> track = le::tessera::readMemberBytes(in.bank_track_path);
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<int> order(in.track_order.begin(), in.track_order.end());
  std::vector<uint8_t> bank =
      le::tessera::decodeBankTrack(track.data(), track.size(), in.n_donors, in.band_h, in.band_w, order);
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  std::printf("bank track: %d donors decoded in %.1f ms (%.3f ms per donor), %zu bytes\n",
              in.n_donors, ms, ms / in.n_donors, bank.size());
  const std::string build = le::tessera::bankDecoderBuild();
  std::printf("decoder: %s\n", build.substr(0, build.find(" / ")).c_str());
  return bank;
}

// Donors in rows of 8, each scaled up so a small patch stays readable, with
// its index drawn below.
void writeSheet(const std::string& path, const le::TesseraAttachInputs& in,
                const std::vector<uint8_t>& bank) {
  const int scale = std::max(1, 96 / std::max(in.band_w, in.band_h));
  const int cellW = in.band_w * scale + 4, cellH = in.band_h * scale + 20;
  const int cols = std::min(8, in.n_donors), rows = (in.n_donors + cols - 1) / cols;
  const int W = cols * cellW, H = rows * cellH;
  std::vector<uint8_t> sheet(size_t(W) * H * 3, 24);
  const size_t patch = size_t(in.band_w) * in.band_h * 3;
  for (int d = 0; d < in.n_donors; ++d) {
    const int x0 = (d % cols) * cellW + 2, y0 = (d / cols) * cellH + 2;
    const uint8_t* p = bank.data() + d * patch;
    for (int y = 0; y < in.band_h * scale; ++y)
      for (int x = 0; x < in.band_w * scale; ++x)
        for (int c = 0; c < 3; ++c)
          sheet[(size_t(y0 + y) * W + x0 + x) * 3 + c] =
              p[(size_t(y / scale) * in.band_w + x / scale) * 3 + c];
    le::tool::drawNumber(sheet.data(), W, H, x0, y0 + in.band_h * scale + 3, d, 2);
  }
  le::tool::writePng(path, sheet.data(), W, H);
  std::printf("sheet: %s (%d donors, %dx%d)\n", path.c_str(), in.n_donors, W, H);
}

int run(const Options& o) {
  if (!o.output.empty()) le::tool::checkOutputPath(o.output, "sheet");
  const std::string dir = le::resolveBundlePath(o.bundle);
  printCarriage(dir, le::tesseraCarriage(dir));
  std::fflush(stdout);
  const le::TesseraAttachInputs in = le::loadTesseraMembers(dir);
  printMembers(in);
  const std::vector<uint8_t> bank = decodeBank(in);
  if (!o.output.empty()) writeSheet(o.output, in, bank);
  std::printf("ok: the teeth borrow's members load\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return le::tool::hostMain("le-tessera-info", kUsage, argc, argv, parse, run);
}
