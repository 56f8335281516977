// The engine: packed layers, the basis in binary16, per-worker scratch, and a
// render in three passes over the private pool: phase A (the low-resolution
// network, one job per frame), the basis product over all frames (48 column
// jobs), phase B (full resolution, one job per frame). Frames that do not
// fill a round of the pool run one after another with every stage's rows
// split over the workers instead.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "le/render/conv_engine.h"
#include "le/runtime/env.h"
#include "le/runtime/half.h"
#include "le/runtime/log.h"

namespace le::conv {
namespace {

constexpr int32_t kBasisJobs = 48;


std::vector<float> roundedHalf(const std::vector<float>& v) {
  std::vector<float> out(v.size());
  for (size_t i = 0; i < v.size(); ++i) out[i] = half::toFloat(half::fromFloat(v[i]));
  return out;
}

double msSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

Engine::Engine(const LoadedOnnx& m, const M4bNames& nm, int32_t crop, int32_t threads, const Kernels& kr,
               const Pool::Spawn& spawn)
    : kr_(kr) {
  crop_ = crop;
  half_ = crop / 2;
  batch_ = static_cast<int32_t>(m.batch);
  rows_ = (batch_ + 3) / 4 * 4;
  tileY0_ = 3 * (crop - kTileH) / 4;
  tileX0_ = (crop - kTileW) / 2;
  auto vals = [&](const std::string& name) -> const std::vector<float>& { return m.inits.get(name).values; };
  struct LayerDef {
    const char* name;
    std::string weight, bias;
    int32_t co, ciGraph, ci, k;
    Act act;
  };
  // The input of "pre" is staged with 88 channels (85 used), so its pixels
  // stay aligned; the three extra channels get zero weights.
  const LayerDef defs[kLayerCount] = {
      {"pre", nm.pre, nm.preBias, 96, 85, 88, 1, Act::kRelu},
      {"s.e0.conv", "s.e0.conv.weight", "s.e0.conv.bias", 96, 96, 96, 3, Act::kRelu},
      {"s.e1.conv", "s.e1.conv.weight", "s.e1.conv.bias", 144, 96, 96, 3, Act::kRelu},
      {"s.e2.conv", "s.e2.conv.weight", "s.e2.conv.bias", 192, 144, 144, 3, Act::kRelu},
      {"s.d1.conv", "s.d1.conv.weight", "s.d1.conv.bias", 144, 336, 336, 3, Act::kRelu},
      {"s.d0.conv", "s.d0.conv.weight", "s.d0.conv.bias", 96, 240, 240, 3, Act::kRelu},
      {"s.ref.conv", "s.ref.conv.weight", "s.ref.conv.bias", 48, 96, 96, 3, Act::kRelu},
      {"s.mask", "s.mask.weight", "s.mask.bias", 22, 48, 48, 3, Act::kNone},
      {"s.occ", "s.occ.weight", "s.occ.bias", 1, 48, 48, 3, Act::kSigmoid},
      {"s.corr.0.conv", "s.corr.0.conv.weight", "s.corr.0.conv.bias", 24, 7, 7, 3, Act::kRelu},
      {"s.corr.1.conv", "s.corr.1.conv.weight", "s.corr.1.conv.bias", 24, 24, 24, 3, Act::kRelu},
      {"s.corr.2", "s.corr.2.weight", "s.corr.2.bias", 12, 24, 24, 3, Act::kNone},
      {"s.tile.0.conv", "s.tile.0.conv.weight", "s.tile.0.conv.bias", 32, 7, 7, 3, Act::kRelu},
      {"s.tile.1.conv", "s.tile.1.conv.weight", "s.tile.1.conv.bias", 32, 32, 32, 3, Act::kRelu},
      {"s.tile.2.conv", "s.tile.2.conv.weight", "s.tile.2.conv.bias", 32, 32, 32, 3, Act::kRelu},
      {"s.tile.3", "s.tile.3.weight", "s.tile.3.bias", 3, 32, 32, 3, Act::kNone},
  };
  for (const LayerDef& s : defs)
    layers_.push_back(packConv(s.name, vals(s.weight), vals(s.bias), s.co, s.ciGraph, s.ci, s.k, s.act, kr_.lanes));
  mlp0_ = roundedHalf(vals("s.wmlp.0.weight"));
  mlp0b_ = vals("s.wmlp.0.bias");
  mlp2_ = roundedHalf(vals("s.wmlp.2.weight"));
  mlp2b_ = vals("s.wmlp.2.bias");

  // The basis columns are the graph's [3][256][256] image; stored here pixel
  // by pixel ([256][256][3]) like every other image of the engine.
  const std::vector<float>& basis = vals(nm.basis);
  constexpr size_t kPlane = static_cast<size_t>(kBasisSide) * kBasisSide;
  basis_.resize(64 * kBasisCols);
  for (size_t k = 0; k < 64; ++k)
    for (size_t c = 0; c < 3; ++c)
      for (size_t p = 0; p < kPlane; ++p)
        basis_[k * kBasisCols + p * 3 + c] = half::fromFloat(basis[k * kBasisCols + c * kPlane + p]);
  grid32_ = vals(nm.grid32);
  grid64_ = vals("s.grid64");
  feather_ = vals("s.feather");

  grids_.resize(static_cast<size_t>(batch_) * 8192);
  occ_.resize(static_cast<size_t>(batch_) * 4096);
  coef_.assign(static_cast<size_t>(rows_) * 64, 0);
  basisOut_.resize(static_cast<size_t>(rows_) * kBasisCols);
  scratch_.resize(static_cast<size_t>(threads < 1 ? 1 : threads));
  for (Scratch& s : scratch_) allocate(s);
  buildStages();
  dumpDir_ = env::text("LE_CONV_DUMP").value_or("");
  pool_ = std::make_unique<Pool>(static_cast<int32_t>(scratch_.size()), spawn);
}

void Engine::allocate(Scratch& s) const {
  const size_t C = static_cast<size_t>(crop_), h = static_cast<size_t>(half_);
  const size_t tile = static_cast<size_t>(kTileH) * kTileW;
  s.in88.resize(32 * 32 * 88);
  s.pre.resize(32 * 32 * 96);
  s.e0.resize(32 * 32 * 96);
  s.e1.resize(16 * 16 * 144);
  s.e2.resize(8 * 8 * 192);
  s.d1.resize(16 * 16 * 144);
  s.d0.resize(32 * 32 * 96);
  s.ref.resize(64 * 64 * 48);
  s.mask.resize(64 * 64 * 22);
  s.tmp.resize(std::max<size_t>(22 * 64, 9 * C + 3 * kTileW));
  s.tmp16.resize(3 * C);
  s.prior.resize(3 * C * C);
  s.warped.resize(3 * C * C);
  s.refined.resize(3 * C * C);
  s.corrA.resize(h * h * 24);
  s.corrB.resize(h * h * 24);
  s.corrC.resize(h * h * 12);
  s.tileA.resize(tile * 32);
  s.tileB.resize(tile * 32);
  s.tile3.resize(tile * 3);
}

// The low-resolution network of one frame, then its motion grid and basis
// coefficients.
void Engine::mlp(const Frame& f) {
  float feat[255];
  float mean[3] = {0, 0, 0};
  for (int k = 0; k < 21; ++k) {
    float* o = feat + 12 * k;
    for (int j = 0; j < 3; ++j) {
      const float s = f.ks[3 * k + j], dr = f.kd[3 * k + j], d = dr - s;
      o[j] = s;
      o[3 + j] = dr;
      o[6 + j] = d;
      o[9 + j] = d * d;
      mean[j] += d;
    }
  }
  for (int j = 0; j < 3; ++j) feat[252 + j] = mean[j] / 21.0f;
  float hidden[128];
  for (int o = 0; o < 128; ++o) {
    float acc = 0.0f;
    for (int i = 0; i < 255; ++i) acc = std::fma(mlp0_[static_cast<size_t>(o) * 255 + i], feat[i], acc);
    hidden[o] = std::max(acc + mlp0b_[o], 0.0f);
  }
  uint16_t* coef = coef_.data() + static_cast<size_t>(f.index) * 64;
  for (int o = 0; o < 64; ++o) {
    float acc = 0.0f;
    for (int i = 0; i < 128; ++i) acc = std::fma(mlp2_[static_cast<size_t>(o) * 128 + i], hidden[i], acc);
    coef[o] = half::fromFloat(acc + mlp2b_[o]);
  }
}

void Engine::buildStages() {
  buildPhaseA();
  buildPhaseB();
}

void Engine::convStage(Layer l, const std::vector<Part>& parts, int32_t w, int32_t h, uint16_t* out, int32_t r0,
                       int32_t r1, Scratch& wk) const {
  runConv(kr_, layers_[l], parts.data(), static_cast<int>(parts.size()), w, h, out, r0, r1, wk.staging);
}

// Stages 1 to 11 of a frame at 32 x 32 and 64 x 64: the input, the encoder
// and decoder, the motion grid and occlusion, the basis coefficients.
void Engine::buildPhaseA() {
  auto conv = [this](Layer l, const std::vector<Part>& parts, int32_t w, int32_t h, uint16_t* out, int32_t r0,
                     int32_t r1, Scratch& wk) { convStage(l, parts, w, h, out, r0, r1, wk); };
  using P = Part;
  stagesA_ = {
      {32,
       [this](const Frame& f, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         for (int32_t y = r0; y < r1; ++y)
           kr_.inputRow(f.pooled, grid32_.data(), f.kd, f.ks, y, s.in88.data() + y * 32 * 88, wk.tmp.data());
       }},
      {32, [conv](const Frame&, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         conv(kPre, {{P::kPlain, s.in88.data(), 32, 88}}, 32, 32, s.pre.data(), r0, r1, wk);
       }},
      {32, [conv](const Frame&, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         conv(kE0, {{P::kPlain, s.pre.data(), 32, 96}}, 32, 32, s.e0.data(), r0, r1, wk);
       }},
      {16, [conv](const Frame&, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         conv(kE1, {{P::kPool2, s.e0.data(), 32, 96}}, 16, 16, s.e1.data(), r0, r1, wk);
       }},
      {8, [conv](const Frame&, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         conv(kE2, {{P::kPool2, s.e1.data(), 16, 144}}, 8, 8, s.e2.data(), r0, r1, wk);
       }},
      {16, [conv](const Frame&, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         conv(kD1, {{P::kUp, s.e2.data(), 8, 192, 2}, {P::kPlain, s.e1.data(), 16, 144}}, 16, 16, s.d1.data(), r0, r1,
              wk);
       }},
      {32, [conv](const Frame&, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         conv(kD0, {{P::kUp, s.d1.data(), 16, 144, 2}, {P::kPlain, s.e0.data(), 32, 96}}, 32, 32, s.d0.data(), r0, r1,
              wk);
       }},
      {64, [conv](const Frame&, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         conv(kRef, {{P::kUp, s.d0.data(), 32, 96, 2}}, 64, 64, s.ref.data(), r0, r1, wk);
       }},
      {64, [this, conv](const Frame& f, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         conv(kMask, {{P::kPlain, s.ref.data(), 64, 48}}, 64, 64, s.mask.data(), r0, r1, wk);
         conv(kOcc, {{P::kPlain, s.ref.data(), 64, 48}}, 64, 64, occ_.data() + static_cast<size_t>(f.index) * 4096, r0,
              r1, wk);
       }},
      {64,
       [this](const Frame& f, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         float disp[42];
         for (int k = 0; k < 21; ++k) {
           disp[2 * k] = f.ks[3 * k] - f.kd[3 * k];
           disp[2 * k + 1] = f.ks[3 * k + 1] - f.kd[3 * k + 1];
         }
         float* grid = grids_.data() + static_cast<size_t>(f.index) * 8192;
         for (int32_t y = r0; y < r1; ++y) {
           GridRowArgs a;
           a.logits = s.mask.data() + y * 64 * 22;
           a.base = grid64_.data() + y * 128;
           a.disp = disp;
           a.grid = grid + y * 128;
           a.tmp = wk.tmp.data();
           a.width = 64;
           kr_.gridRow(a);
         }
       }},
      {1, [this](const Frame& f, Scratch&, Scratch&, int32_t r0, int32_t r1) {
         if (r0 < r1) mlp(f);
       }},
  };

}

// Full resolution: the prior warped by the upsampled grid, the correction
// network at half the crop, the refined image, the tile network and the
// composed float32 output.
void Engine::buildPhaseB() {
  const int32_t C = crop_, H = half_;
  auto conv = [this](Layer l, const std::vector<Part>& parts, int32_t w, int32_t h, uint16_t* out, int32_t r0,
                     int32_t r1, Scratch& wk) { convStage(l, parts, w, h, out, r0, r1, wk); };
  using P = Part;
  const size_t planeC = static_cast<size_t>(C) * static_cast<size_t>(C);
  const Part::Kind basisKind = H == kBasisSide ? P::kPlain : P::kPool2;
  stagesB_ = {
      {C,
       [this, C, planeC](const Frame& f, Scratch& s, Scratch&, int32_t r0, int32_t r1) {
         for (size_t p = 0; p < 3; ++p) {
           const size_t off = p * planeC + static_cast<size_t>(r0) * C;
           kr_.widenPixels(f.prior + off, 1, 1, (r1 - r0) * C, s.prior.data() + off, 1);
         }
       }},
      {C,
       [this, C](const Frame& f, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         for (int32_t y = r0; y < r1; ++y) {
           SampleRowArgs a;
           a.prior = s.prior.data();
           a.grid = grids_.data() + static_cast<size_t>(f.index) * 8192;
           a.crop = C;
           a.y = y;
           a.out = s.warped.data() + static_cast<size_t>(y) * 3 * C;
           a.tmp = wk.tmp.data();
           kr_.sampleRow(a);
         }
       }},
      {H,
       [this, conv, C, H, basisKind](const Frame& f, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         conv(kCorr0,
              {{P::kPool2, s.warped.data(), C, 3},
               {P::kUp, occ_.data() + static_cast<size_t>(f.index) * 4096, 64, 1, H / 64},
               {basisKind, basisOut_.data() + static_cast<size_t>(f.index) * kBasisCols, kBasisSide, 3}},
              H, H, s.corrA.data(), r0, r1, wk);
       }},
      {H, [conv, H](const Frame&, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         conv(kCorr1, {{P::kPlain, s.corrA.data(), H, 24}}, H, H, s.corrB.data(), r0, r1, wk);
       }},
      {H, [conv, H](const Frame&, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         conv(kCorr2, {{P::kPlain, s.corrB.data(), H, 24}}, H, H, s.corrC.data(), r0, r1, wk);
       }},
      {C,
       [this, C, H](const Frame& f, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         for (int32_t y = r0; y < r1; ++y) {
           RefineRowArgs a;
           a.warped = s.warped.data() + static_cast<size_t>(y) * 3 * C;
           a.occ = occ_.data() + static_cast<size_t>(f.index) * 4096 + static_cast<size_t>(y / (C / 64)) * 64;
           a.corr = s.corrC.data() + static_cast<size_t>(y / 2) * H * 12;
           a.crop = C;
           a.y = y;
           a.out = s.refined.data() + static_cast<size_t>(y) * 3 * C;
           a.tmp = wk.tmp.data();
           a.tmp16 = wk.tmp16.data();
           kr_.refineRow(a);
         }
       }},
      {kTileH,
       [this, conv, C](const Frame& f, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         conv(kTile0,
              {{P::kPlain, s.refined.data(), C, 3, 1, tileX0_, tileY0_},
               {P::kPlain, s.warped.data(), C, 3, 1, tileX0_, tileY0_},
               {P::kUp, occ_.data() + static_cast<size_t>(f.index) * 4096, 64, 1, C / 64, tileX0_, tileY0_}},
              kTileW, kTileH, s.tileA.data(), r0, r1, wk);
       }},
      {kTileH, [conv](const Frame&, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         conv(kTile1, {{P::kPlain, s.tileA.data(), kTileW, 32}}, kTileW, kTileH, s.tileB.data(), r0, r1, wk);
       }},
      {kTileH, [conv](const Frame&, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         conv(kTile2, {{P::kPlain, s.tileB.data(), kTileW, 32}}, kTileW, kTileH, s.tileA.data(), r0, r1, wk);
       }},
      {kTileH, [conv](const Frame&, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         conv(kTile3, {{P::kPlain, s.tileA.data(), kTileW, 32}}, kTileW, kTileH, s.tile3.data(), r0, r1, wk);
       }},
      {C,
       [this, C, planeC](const Frame& f, Scratch& s, Scratch& wk, int32_t r0, int32_t r1) {
         for (int32_t y = r0; y < r1; ++y) {
           ComposeRowArgs a;
           a.refined = s.refined.data() + static_cast<size_t>(y) * 3 * C;
           const bool inTile = y >= tileY0_ && y < tileY0_ + kTileH;
           a.tile = inTile ? s.tile3.data() + static_cast<size_t>(y - tileY0_) * kTileW * 3 : nullptr;
           a.feather = inTile ? feather_.data() + static_cast<size_t>(y - tileY0_) * kTileW : nullptr;
           a.crop = C;
           a.x0 = tileX0_;
           a.tileW = kTileW;
           a.out = f.out + static_cast<size_t>(y) * C;
           a.plane = planeC;
           a.tmp = wk.tmp.data();
           kr_.composeRow(a);
         }
       }},
  };
}

void Engine::runPhase(const std::vector<Stage>& stages, const std::vector<Frame>& frames, bool phaseA) {
  const size_t T = static_cast<size_t>(pool_->size());
  const size_t n = frames.size();
  const size_t whole = T > 1 ? n - n % T : n;
  auto finish = [&](const Frame& f, const Scratch& s) {
    if (f.index != 0 || dumpDir_.empty()) return;
    if (phaseA)
      dumpPhaseA(s, 0);
    else
      dumpPhaseB(s, f);
  };
  pool_->run(whole, [&](size_t job, int32_t w) {
    Scratch& s = scratch_[static_cast<size_t>(w)];
    for (const Stage& st : stages) st.fn(frames[job], s, s, 0, st.rows);
    finish(frames[job], s);
  });
  for (size_t i = whole; i < n; ++i) {
    Scratch& s = scratch_[0];
    for (const Stage& st : stages) {
      const size_t bands = std::min<size_t>(static_cast<size_t>(st.rows), 4 * T);
      pool_->run(bands, [&](size_t b, int32_t w) {
        const int32_t r0 = static_cast<int32_t>(b * static_cast<size_t>(st.rows) / bands);
        const int32_t r1 = static_cast<int32_t>((b + 1) * static_cast<size_t>(st.rows) / bands);
        st.fn(frames[i], s, scratch_[static_cast<size_t>(w)], r0, r1);
      });
    }
    finish(frames[i], s);
  }
}

void Engine::render(const uint16_t* const* pooled, const uint16_t* const* prior, const float* ks, const float* kd,
                    int32_t n, float* out) {
  if (n < 1 || n > batch_) throw std::runtime_error("le_conv: bad n");
  const size_t crop3 = 3 * static_cast<size_t>(crop_) * static_cast<size_t>(crop_);
  std::vector<Frame> frames;
  frames.reserve(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i)
    frames.push_back({pooled[i], prior[i], ks + 63 * i, kd + 63 * i, out + static_cast<size_t>(i) * crop3, i});

  auto t0 = std::chrono::steady_clock::now();
  runPhase(stagesA_, frames, true);
  phaseMs_[0] = msSince(t0);

  // Rows past n stay zero; the product is computed for the n real ones.
  t0 = std::chrono::steady_clock::now();
  std::fill(coef_.begin() + static_cast<ptrdiff_t>(n) * 64, coef_.end(), 0);
  pool_->run(kBasisJobs, [&](size_t j, int32_t) {
    const size_t c0 = j * kBasisCols / kBasisJobs, c1 = (j + 1) * kBasisCols / kBasisJobs;
    kr_.basisGemm(coef_.data(), n, basis_.data(), kBasisCols, c0, c1, basisOut_.data());
  });
  phaseMs_[1] = msSince(t0);

  t0 = std::chrono::steady_clock::now();
  runPhase(stagesB_, frames, false);
  phaseMs_[2] = msSince(t0);
}

// ---- dumps -------------------------------------------------------------------------

void Engine::writeDump(const std::string& stage, const float* data, size_t n) {
  const std::string path = dumpDir_ + "/" + stage + ".f32";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  bool ok = f != nullptr && std::fwrite(data, sizeof(float), n, f) == n;
  if (f != nullptr) ok = std::fclose(f) == 0 && ok;
  if (!ok && !dumpFailed_.exchange(true))
    log::line(log::Level::Warning, "[le] le_conv: cannot write the dump " + path + " (reported once; rendering goes on)");
}

void Engine::writeDumpHalf(const std::string& stage, const uint16_t* data, size_t n) {
  std::vector<float> f(n);
  for (size_t i = 0; i < n; ++i) f[i] = half::toFloat(data[i]);
  writeDump(stage, f.data(), n);
}

void Engine::dumpPhaseA(const Scratch& s, int32_t frame) {
  writeDumpHalf("pre_relu", s.pre.data(), 32 * 32 * 96);
  writeDumpHalf("e0_relu", s.e0.data(), 32 * 32 * 96);
  writeDumpHalf("e1_relu", s.e1.data(), 16 * 16 * 144);
  writeDumpHalf("e2_relu", s.e2.data(), 8 * 8 * 192);
  writeDumpHalf("d1_relu", s.d1.data(), 16 * 16 * 144);
  writeDumpHalf("d0_relu", s.d0.data(), 32 * 32 * 96);
  writeDumpHalf("ref_relu", s.ref.data(), 64 * 64 * 48);
  writeDumpHalf("mask_conv", s.mask.data(), 64 * 64 * 22);
  writeDumpHalf("occ_sig", occ_.data() + static_cast<size_t>(frame) * 4096, 4096);
  writeDump("grid_add", grids_.data() + static_cast<size_t>(frame) * 8192, 8192);
  writeDumpHalf("w64", coef_.data() + static_cast<size_t>(frame) * 64, 64);
}

void Engine::dumpPhaseB(const Scratch& s, const Frame& f) {
  const size_t C = static_cast<size_t>(crop_), h = static_cast<size_t>(half_);
  const size_t tile = static_cast<size_t>(kTileH) * kTileW;
  writeDumpHalf("basisimg", basisOut_.data() + static_cast<size_t>(f.index) * kBasisCols, kBasisCols);
  std::vector<float> occ(C * C);
  const uint16_t* o = occ_.data() + static_cast<size_t>(f.index) * 4096;
  for (size_t y = 0; y < C; ++y)
    for (size_t x = 0; x < C; ++x) occ[y * C + x] = half::toFloat(o[(y * 64 / C) * 64 + x * 64 / C]);
  writeDump("occ512", occ.data(), occ.size());
  writeDumpHalf("warped", s.warped.data(), 3 * C * C);
  writeDumpHalf("corr0_relu", s.corrA.data(), h * h * 24);
  writeDumpHalf("corr1_relu", s.corrB.data(), h * h * 24);
  writeDumpHalf("corr2_conv", s.corrC.data(), h * h * 12);
  writeDumpHalf("refined", s.refined.data(), 3 * C * C);
  writeDumpHalf("tile2_relu", s.tileA.data(), tile * 32);
  writeDumpHalf("tile3_conv", s.tile3.data(), tile * 3);
}

}  // namespace le::conv
