#include "le/render/le_custom_ops.h"
#include "le/render/ort_domain_warmup.h"

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace le {

namespace {

constexpr int64_t kBandRows = 16;

enum class Kind { GridSampleFast, WarpDirector };

const char* nameOf(Kind k) { return k == Kind::GridSampleFast ? "GridSampleFast" : "WarpDirector"; }

std::string dimsText(const std::vector<int64_t>& d) {
  std::string s = "[";
  for (size_t i = 0; i < d.size(); ++i) s += (i ? "," : "") + std::to_string(d[i]);
  return s + "]";
}

struct Dims {
  int64_t n, c, h, w;
};

// Everything a run reads is sized by these checks, so they come before any
// data pointer is taken.
Dims checkedDims(Kind kind, const std::vector<int64_t>& x, const std::vector<int64_t>& g) {
  const std::string op = std::string("com.quillfin::") + nameOf(kind) + ": ";
  if (x.size() != 4)
    throw std::runtime_error(op + "input 0 must be NCHW (rank 4), got " + dimsText(x) + ". REFUSING.");
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  for (int64_t d : x)
    if (d <= 0 || d > kMax)
      throw std::runtime_error(op + "input 0 " + dimsText(x) +
                               " has a dimension outside 1.." + std::to_string(kMax) + ". REFUSING.");
  const Dims r{x[0], x[1], x[2], x[3]};
  if (kind == Kind::WarpDirector && r.c != 3)
    throw std::runtime_error(
        "com.quillfin::WarpDirector: this node warps the director's 3-channel source and the graph "
        "handed it C=" + std::to_string(r.c) +
        ". REFUSING rather than writing a frame nobody asked for.");
  if (g.size() != 4 || g[0] != r.n || g[1] != r.h || g[2] != r.w || g[3] != 2)
    throw std::runtime_error(op + "grid " + dimsText(g) + " does not fit input 0 " + dimsText(x) +
                             ": expected [" + std::to_string(r.n) + "," + std::to_string(r.h) + "," +
                             std::to_string(r.w) + ",2] (the output keeps the input's size). REFUSING.");
  return r;
}

struct BandJob {
  Kind kind;
  const float* x;
  const float* g;
  float* y;
  int32_t c, h, w;
};

void runBand(void* user, size_t band) {
  const BandJob& j = *static_cast<const BandJob*>(user);
  const int64_t r0 = static_cast<int64_t>(band) * kBandRows;
  const int64_t r1 = r0 + kBandRows < j.h ? r0 + kBandRows : j.h;
  if (j.kind == Kind::GridSampleFast)
    gridsample_fast_band(j.x, j.g, j.y, j.c, j.h, j.w, static_cast<int32_t>(r0), static_cast<int32_t>(r1));
  else
    warpDirectorBand(j.x, j.g, j.y, j.w, j.h, static_cast<int32_t>(r0), static_cast<int32_t>(r1));
}

OrtStatusPtr compute(Kind kind, OrtKernelContext* raw) noexcept {
  try {
    Ort::KernelContext ctx(raw);
    if (ctx.GetInputCount() < 2)
      throw std::runtime_error(std::string("com.quillfin::") + nameOf(kind) + ": needs 2 inputs, got " +
                               std::to_string(ctx.GetInputCount()));
    const Ort::ConstValue xv = ctx.GetInput(0);
    const Ort::ConstValue gv = ctx.GetInput(1);
    if (!xv || !gv)
      throw std::runtime_error(std::string("com.quillfin::") + nameOf(kind) + ": an input is missing");
    const std::vector<int64_t> xs = xv.GetTensorTypeAndShapeInfo().GetShape();
    const std::vector<int64_t> gs = gv.GetTensorTypeAndShapeInfo().GetShape();
    const Dims d = checkedDims(kind, xs, gs);
    Ort::UnownedValue yv = ctx.GetOutput(0, xs);
    const size_t image = static_cast<size_t>(d.c) * static_cast<size_t>(d.h) * static_cast<size_t>(d.w);
    const size_t gridImage = static_cast<size_t>(d.h) * static_cast<size_t>(d.w) * 2;
    BandJob job{kind, xv.GetTensorData<float>(), gv.GetTensorData<float>(),
                yv.GetTensorMutableData<float>(), static_cast<int32_t>(d.c), static_cast<int32_t>(d.h),
                static_cast<int32_t>(d.w)};
    const size_t bands = static_cast<size_t>((d.h + kBandRows - 1) / kBandRows);
    for (int64_t n = 0; n < d.n; ++n) {
      ctx.ParallelFor(runBand, bands, 0, &job);
      job.x += image;
      job.y += image;
      job.g += gridImage;
    }
    return nullptr;
  } catch (const Ort::Exception& e) {
    return Ort::Status(e).release();
  } catch (const std::exception& e) {
    return Ort::Status(e.what(), ORT_RUNTIME_EXCEPTION).release();
  } catch (...) {
    return Ort::Status("com.quillfin: unknown failure", ORT_RUNTIME_EXCEPTION).release();
  }
}

// Kernels keep no state.
template <Kind K>
struct Kernel {
  OrtStatusPtr ComputeV2(OrtKernelContext* ctx) { return compute(K, ctx); }
};

template <Kind K>
struct Op : Ort::CustomOpBase<Op<K>, Kernel<K>, true> {
  OrtStatusPtr CreateKernelV2(const OrtApi&, const OrtKernelInfo*, void** kernel) const noexcept {
    try {
      *kernel = new Kernel<K>();
      return nullptr;
    } catch (...) {
      return Ort::Status("com.quillfin: cannot create a kernel", ORT_FAIL).release();
    }
  }
  const char* GetName() const { return nameOf(K); }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 2; }
  ONNXTensorElementDataType GetInputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

}  // namespace

void domainOps(Ort::CustomOpDomain& domain) {
  static const Op<Kind::GridSampleFast> gridSampleFast;
  static const Op<Kind::WarpDirector> warp;
  domain.Add(&gridSampleFast);
  domain.Add(&warp);
}

OrtCustomOpDomain* quillfinDomain() {
  // A function-local static: two sessions built at once create it once.
  static Ort::CustomOpDomain domain = [] {
    Ort::CustomOpDomain d("com.quillfin");
    domainOps(d);
    warmCustomDomain(d);
    return d;
  }();
  return domain;
}

namespace {

// onnxruntime refuses a session whose options carry one domain twice ("Domain
// already set in registry"), and both registrations add the same domain. A
// config entry marks options that carry it; it travels with the options
// (copies included), which a pointer kept on the side would not.
constexpr const char* kRegisteredKey = "le.quillfin.domain";

void addDomainOnce(Ort::SessionOptions& options) {
  if (options.HasConfigEntry(kRegisteredKey)) return;
  options.Add(quillfinDomain());
  options.AddConfigEntry(kRegisteredKey, "1");
}

}  // namespace

void registerGridSampleFast(Ort::SessionOptions& options) { addDomainOnce(options); }

void registerWarpDirector(Ort::SessionOptions& options) { addDomainOnce(options); }

}  // namespace le
