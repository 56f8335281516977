// Packed convolution layers and their execution over a staged input: the
// weights rounded to binary16 once, laid out per output-channel block so the
// kernel's inner loop is one vector load and one fused multiply-add per input
// channel and tap; the input rows widened to float32 a strip at a time.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "le/render/conv_engine.h"
#include "le/runtime/half.h"

namespace le::conv {
namespace {

// Floats of one staged strip: small enough to stay in the second-level cache.
constexpr size_t kStripFloats = 64 * 1024;

// Staged rows [iy0, iy0 + n) of a w x h input (rows outside it zero): pixel
// x of a row sits at pad + x, the pixels around it are zero.
void stage(const Kernels& kr, const Part* parts, int nparts, int32_t ci, int32_t w, int32_t h, int32_t iy0,
           int32_t n, int32_t pad, size_t rowFloats, float* buf) {
  const size_t cc = static_cast<size_t>(ci);
  for (int32_t r = 0; r < n; ++r) {
    float* row = buf + static_cast<size_t>(r) * rowFloats;
    const int32_t iy = iy0 + r;
    if (iy < 0 || iy >= h) {
      std::memset(row, 0, rowFloats * sizeof(float));
      continue;
    }
    std::memset(row, 0, static_cast<size_t>(pad) * cc * sizeof(float));
    const size_t right = static_cast<size_t>(pad + w) * cc;
    std::memset(row + right, 0, (rowFloats - right) * sizeof(float));
    float* dst = row + static_cast<size_t>(pad) * cc;
    for (int p = 0; p < nparts; ++p) {
      const Part& pt = parts[p];
      const size_t pc = static_cast<size_t>(pt.c);
      const size_t srcRow = static_cast<size_t>(pt.srcW) * pc;
      switch (pt.kind) {
        case Part::kPlain:
          kr.widenPixels(pt.src + static_cast<size_t>(pt.y0 + iy) * srcRow + static_cast<size_t>(pt.x0) * pc, pc,
                         pt.c, w, dst, cc);
          break;
        case Part::kPool2: {
          const uint16_t* r0 = pt.src + static_cast<size_t>(2 * iy) * srcRow;
          kr.pool2Pixels(r0, r0 + srcRow, pc, pt.c, w, dst, cc);
          break;
        }
        case Part::kUp:
          kr.upPixels(pt.src + static_cast<size_t>((pt.y0 + iy) / pt.factor) * srcRow, pc, pt.c, w, pt.factor, pt.x0,
                      dst, cc);
          break;
      }
      dst += pc;
    }
  }
}

}  // namespace

std::vector<int32_t> blockWidths(int32_t co, int32_t lanes) {
  std::vector<int32_t> out;
  for (int32_t left = co; left > 0;) {
    int32_t width = 32;
    if (left < 32)
      for (int32_t c : {8, 16, 24, 32})
        if (c % lanes == 0 && c >= left) {
          width = c;
          break;
        }
    out.push_back(width);
    left -= width;
  }
  return out;
}

ConvLayer packConv(const std::string& name, const std::vector<float>& w, const std::vector<float>& b, int32_t co,
                   int32_t ciGraph, int32_t ci, int32_t k, Act act, int32_t lanes) {
  const size_t taps = static_cast<size_t>(k) * static_cast<size_t>(k);
  const size_t needW = static_cast<size_t>(co) * static_cast<size_t>(ciGraph) * taps;
  if (w.size() != needW || b.size() != static_cast<size_t>(co))
    throw std::runtime_error("le_conv: layer " + name + " needs " + std::to_string(needW) + " weights / " +
                             std::to_string(co) + " bias but the graph supplies " + std::to_string(w.size()) + " / " +
                             std::to_string(b.size()) +
                             " — refusing to pack (graph is not the m4b this kernel implements)");
  ConvLayer L;
  L.name = name;
  L.ci = ci;
  L.co = co;
  L.k = k;
  L.pad = k / 2;
  L.act = act;
  L.blocks = blockWidths(co, lanes);
  int32_t c0 = 0;
  for (const int32_t bw : L.blocks) {
    L.wOff.push_back(L.w.size());
    L.bOff.push_back(L.bias.size());
    L.w.resize(L.w.size() + taps * static_cast<size_t>(ci) * static_cast<size_t>(bw), 0.0f);
    L.bias.resize(L.bias.size() + static_cast<size_t>(bw), 0.0f);
    float* wb = L.w.data() + L.wOff.back();
    float* bb = L.bias.data() + L.bOff.back();
    for (int32_t j = 0; j < bw && c0 + j < co; ++j) {
      const size_t o = static_cast<size_t>(c0 + j);
      bb[j] = b[o];
      for (size_t t = 0; t < taps; ++t)
        for (int32_t c = 0; c < ciGraph; ++c) {
          const float v = w[(o * static_cast<size_t>(ciGraph) + static_cast<size_t>(c)) * taps + t];
          wb[(t * static_cast<size_t>(ci) + static_cast<size_t>(c)) * static_cast<size_t>(bw) + static_cast<size_t>(j)] =
              half::toFloat(half::fromFloat(v));
        }
    }
    c0 += bw;
  }
  return L;
}

void runConv(const Kernels& kr, const ConvLayer& L, const Part* parts, int nparts, int32_t w, int32_t h,
             uint16_t* out, int32_t r0, int32_t r1, Staging& st) {
  if (r1 <= r0) return;
  const int32_t halo = L.k - 1;
  const size_t rowFloats = static_cast<size_t>(w + kr.maxTile + halo) * static_cast<size_t>(L.ci);
  const int32_t fit = static_cast<int32_t>(kStripFloats / rowFloats) - halo;
  const int32_t strip = std::clamp(fit, 1, r1 - r0);
  st.buf.resize(rowFloats * static_cast<size_t>(strip + halo));
  const size_t outRow = static_cast<size_t>(w) * static_cast<size_t>(L.co);
  for (int32_t y = r0; y < r1; y += strip) {
    const int32_t rows = std::min(strip, r1 - y);
    stage(kr, parts, nparts, L.ci, w, h, y - L.pad, rows + halo, L.pad, rowFloats, st.buf.data());
    int32_t c0 = 0;
    for (size_t b = 0; b < L.blocks.size(); ++b) {
      ConvBlockArgs a;
      a.in = st.buf.data();
      a.inPix = static_cast<size_t>(L.ci);
      a.inRow = rowFloats;
      a.ci = L.ci;
      a.k = L.k;
      a.rows = rows;
      a.width = w;
      a.w = L.w.data() + L.wOff[b];
      a.bias = L.bias.data() + L.bOff[b];
      a.block = L.blocks[b];
      a.valid = std::min(L.blocks[b], L.co - c0);
      a.act = L.act;
      a.out = out + static_cast<size_t>(y) * outRow + static_cast<size_t>(c0);
      a.outPix = static_cast<size_t>(L.co);
      a.outRow = outRow;
      kr.convBlock(a);
      c0 += L.blocks[b];
    }
  }
}

}  // namespace le::conv
