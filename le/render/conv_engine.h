// Internals of the fp16 engine (conv_backend.h): the model loader, the
// initializer resolver, the wiring check, the packed layers, the private
// worker pool and the engine itself. Reachable by the library's tests and
// benchmarks.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "le/render/conv_backend.h"
#include "le/render/conv_kernels.h"
#include "le/render/onnx_model.h"
#include "le/render/onnx_wire.h"
#include "le/render/rewrites.h"

namespace le::conv {

// ---- the model file -----------------------------------------------------------

struct LoadedOnnx {
  GsBytes bytes;      // the whole file
  OnnxModel inits;    // every initializer as float32
  GsGraphInfo graph;  // nodes and names, slices into bytes
  std::vector<std::pair<std::string, std::vector<int64_t>>> inputs;  // graph inputs and their dims
  int64_t batch = 0;  // dims[0] of "pooled64"; 0 or -1 when named
};

// Reads the file ("le_conv: cannot open " + path, "le_conv: short read " +
// path) and collects initializers (the codec's refusals), input shapes and
// the batch ("le_conv: pooled64 input not found").
LoadedOnnx loadOnnx(const std::string& path);

// ---- initializers -------------------------------------------------------------

struct FixedInit {
  const char* name;
  std::array<int64_t, 4> shape;
  int rank;
};
extern const std::array<FixedInit, 36> kM4bFixed;

// The names the exporter's counter decides, resolved by shape.
struct M4bNames {
  std::string pre, preBias, grid32, basis;
};

// The only initializer of this shape; "" when there is none or several.
std::string resolveByShape(const OnnxModel& m, const std::vector<int64_t>& shape);

// Every fixed initializer with its exact shape and the drifting three; false
// with the reason otherwise.
bool m4bResolve(const OnnxModel& m, M4bNames& names, std::string& reason);

// "le_conv: this graph is not the fused m4b topology this kernel implements (" +
// reason + ") — use ORT for it"
std::string topologyMessage(const std::string& reason);

// The nodes are exactly the m4b wiring the engine computes (operators,
// attributes, edges, concatenation order, initializers, constants) and the
// graph's inputs and output have the m4b shapes with a static batch of 1 to
// 64. crop receives C. False with "node <name>: <what differs>" or a shape
// reason.
bool m4bWiring(const LoadedOnnx& model, const M4bNames& names, int32_t& crop, std::string& reason);

// ---- packed convolutions -----------------------------------------------------------

struct ConvLayer {
  std::string name;
  int32_t ci = 0;  // staged input channels (the graph's, or more with zero weights)
  int32_t co = 0, k = 1, stride = 1, pad = 0;
  std::vector<int32_t> blocks;       // output-channel block widths, in order
  std::vector<size_t> wOff, bOff;    // offsets of each block's weights and bias
  std::vector<float> w;              // per block [k * k][ci][block], binary16 values
  std::vector<float> bias;           // per block [block], float32
  Act act = Act::kNone;
};

// Output-channel blocks of 8, 16, 24 or 32 covering co, each a multiple of
// lanes (the last one padded).
std::vector<int32_t> blockWidths(int32_t co, int32_t lanes);

// Packs a [co][ciGraph][k][k] weight and [co] bias; the staged input has ci >=
// ciGraph channels (the extra ones get zero weights). Throws "le_conv: layer "
// + name + " needs W weights / B bias but the graph supplies w / b — refusing
// to pack (graph is not the m4b this kernel implements)".
ConvLayer packConv(const std::string& name, const std::vector<float>& w, const std::vector<float>& b, int32_t co,
                   int32_t ciGraph, int32_t ci, int32_t k, Act act, int32_t lanes);

// One source of a convolution's staged input, in the layer's input grid:
// plain reads pixel (y0 + y, x0 + x) of src, pool2 the mean of its 2 x 2
// pixels at (2y, 2x), up pixel ((y0 + y) / factor, (x0 + x) / factor).
struct Part {
  enum Kind { kPlain, kPool2, kUp } kind = kPlain;
  const uint16_t* src = nullptr;
  int32_t srcW = 0, c = 0;  // source width and channels (channel-last, dense)
  int32_t factor = 1, x0 = 0, y0 = 0;
};

// Staged-input buffer of one worker.
struct Staging {
  std::vector<float> buf;
};

// Output rows [r0, r1) of a stride-1, same-size convolution over a w x h
// input assembled from parts (channels in part order); out [h][w][co].
void runConv(const Kernels& kr, const ConvLayer& layer, const Part* parts, int nparts, int32_t w, int32_t h,
             uint16_t* out, int32_t r0, int32_t r1, Staging& st);

// ---- private worker pool ------------------------------------------------------------

class Pool {
 public:
  using Spawn = std::function<std::thread(std::function<void()>)>;
  // threads - 1 workers beside the calling thread. A worker that cannot start
  // joins the ones started and throws.
  explicit Pool(int32_t threads, const Spawn& spawn = nullptr);
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  int32_t size() const { return size_; }
  // fn(job, worker) for every job in [0, jobs), handed out through an atomic
  // counter; the caller is worker 0. Returns when no job runs any more; the
  // first exception is rethrown then (jobs not yet started are skipped).
  void run(size_t jobs, const std::function<void(size_t, int32_t)>& fn);

 private:
  void work(int32_t worker);
  void serve(int32_t worker) noexcept;

  int32_t size_ = 1;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  const std::function<void(size_t, int32_t)>* fn_ = nullptr;
  size_t jobs_ = 0;
  std::atomic<size_t> next_{0};
  int32_t busy_ = 0;
  uint64_t generation_ = 0;
  bool stop_ = false;
  std::exception_ptr error_;
};

// Layer indices of Engine::layers().
enum Layer : int32_t {
  kPre, kE0, kE1, kE2, kD1, kD0, kRef, kMask, kOcc, kCorr0, kCorr1, kCorr2, kTile0, kTile1, kTile2, kTile3,
  kLayerCount
};

// ---- the engine ----------------------------------------------------------------------

// Per worker: the tensors of one frame in flight and the staged input.
struct Scratch {
  // phase A, channel-last binary16
  std::vector<uint16_t> in88, pre, e0, e1, e2, d1, d0, ref, mask;
  std::vector<float> tmp;
  // phase B
  std::vector<float> prior;                  // [3][C][C] float32
  std::vector<uint16_t> warped, refined;     // [C][C][3]
  std::vector<uint16_t> corrA, corrB, corrC;  // [C/2][C/2][24], [C/2][C/2][12]
  std::vector<uint16_t> tileA, tileB, tile3; // [256][208][32], [256][208][3]
  std::vector<uint16_t> tmp16;
  Staging staging;
};

class Engine final : public ConvBackend {
 public:
  Engine(const LoadedOnnx& model, const M4bNames& names, int32_t crop, int32_t threads, const Kernels& kr,
         const Pool::Spawn& spawn = nullptr);
  int32_t batch() const override { return batch_; }
  void render(const uint16_t* const* pooled, const uint16_t* const* prior, const float* ks, const float* kd,
              int32_t n, float* out) override;

  int32_t crop() const { return crop_; }
  int32_t threads() const { return pool_->size(); }
  const Kernels& kernels() const { return kr_; }
  const std::vector<ConvLayer>& layers() const { return layers_; }
  // Milliseconds of the last render in phase A, the basis product and phase B.
  std::array<double, 3> lastPhaseMs() const { return phaseMs_; }

 private:
  struct Frame {
    const uint16_t* pooled;
    const uint16_t* prior;
    const float* ks;
    const float* kd;
    float* out;
    int32_t index;
  };
  using Step = std::function<void(const Frame&, Scratch& frame, Scratch& worker, int32_t r0, int32_t r1)>;
  struct Stage {
    int32_t rows;
    Step fn;
  };

  void buildStages();
  void buildPhaseA();
  void buildPhaseB();
  void convStage(Layer l, const std::vector<Part>& parts, int32_t w, int32_t h, uint16_t* out, int32_t r0, int32_t r1,
                 Scratch& wk) const;
  void allocate(Scratch& s) const;
  // Frames [0, whole) one per job; the rest one after another with every
  // stage's rows split over the workers.
  void runPhase(const std::vector<Stage>& stages, const std::vector<Frame>& frames, bool dumpA);
  void mlp(const Frame& f);
  void dumpPhaseA(const Scratch& s, int32_t frame);
  void dumpPhaseB(const Scratch& s, const Frame& f);
  void writeDump(const std::string& stage, const float* data, size_t n);
  void writeDumpHalf(const std::string& stage, const uint16_t* data, size_t n);

  const Kernels& kr_;
  int32_t crop_ = 0, half_ = 0, batch_ = 0, rows_ = 0;
  int32_t tileY0_ = 0, tileX0_ = 0;
  std::vector<ConvLayer> layers_;
  std::vector<float> mlp0_, mlp0b_, mlp2_, mlp2b_;  // binary16 values in float32
  std::vector<uint16_t> basis_;                       // [64][196608], pixel-major columns
  std::vector<float> grid32_, grid64_, feather_;
  // per frame of a render
  std::vector<float> grids_;        // [batch][64][64][2]
  std::vector<uint16_t> occ_;       // [batch][64][64]
  std::vector<uint16_t> coef_;      // [rows][64]
  std::vector<uint16_t> basisOut_;  // [rows][196608]
  std::vector<Stage> stagesA_, stagesB_;
  std::vector<Scratch> scratch_;
  std::string dumpDir_;
  std::atomic<bool> dumpFailed_{false};
  std::array<double, 3> phaseMs_{};
  std::unique_ptr<Pool> pool_;  // started last, once everything it reads exists
};

inline constexpr int32_t kTileH = 256, kTileW = 208, kBasisSide = 256;
inline constexpr size_t kBasisCols = 3 * kBasisSide * kBasisSide;

}  // namespace le::conv
