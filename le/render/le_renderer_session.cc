// The session builder: options, execution provider, custom domains, the
// load-time rewrites in their fixed order, the source-cone hoist decision and
// the director session itself.
#include <cstdio>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "le/bundle/identity.h"
#include "le/bundle/member.h"
#include "le/render/le_custom_ops.h"
#include "le/render/le_int8_conv.h"
#include "le/render/renderer_impl.h"
#include "le/render/rewrites.h"
#include "le/runtime/env.h"
#include "le/runtime/log.h"
#include "le/runtime/ort_env.h"

namespace le {
namespace {

GsBytes readModel(const std::string& path) {
  std::optional<member::File> f;
  try {
    f = member::File::tryOpen(path, member::kModelMax, "model");
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("Renderer: ") + e.what());
  }
  if (!f) throw std::runtime_error("Renderer: cannot open " + path);
  GsBytes bytes(static_cast<size_t>(f->size()));
  if (f->read(bytes.data(), bytes.size()) != bytes.size())
    throw std::runtime_error("Renderer: short read on " + path);
  return bytes;
}

std::vector<int64_t> shapeOf(const Ort::TypeInfo& info) {
  return info.GetTensorTypeAndShapeInfo().GetShape();
}

// A graph input as the model declares it: element type (0 = none given) and
// dims (-1 for a named one).
struct DeclaredInput {
  bool present = false;
  int32_t type = 0;
  std::vector<int64_t> dims;
};

DeclaredInput declaredInput(const GsBytes& bytes, std::string_view name) {
  DeclaredInput d;
  const GsSlice graph = gsGraphOf(bytes);
  std::vector<std::string> inputs;
  gsAllStr(graph, 11, inputs);
  for (const std::string& vi : inputs) d.present = d.present || gsFirstStr(GsSlice::of(vi), 1) == name;
  if (d.present) ldInputDims(graph, name, d.dims, &d.type);
  return d;
}

std::string typeText(int32_t type) {
  switch (type) {
    case 0: return "an untyped tensor";
    case 1: return "float";
    case 2: return "uint8";
    case 3: return "int8";
    case 6: return "int32";
    case 7: return "int64";
    case 9: return "bool";
    case 10: return "float16";
    case 11: return "double";
    default: return "element type " + std::to_string(type);
  }
}

std::string dimsText(const std::vector<int64_t>& dims) {
  std::string s = "[";
  for (size_t i = 0; i < dims.size(); ++i)
    s += (i ? "," : "") + (dims[i] < 0 ? std::string("?") : std::to_string(dims[i]));
  return s + "]";
}

// A "lip_delivery" the graph declares itself takes the canvas this renderer
// binds: float [B,1,crop,crop] (named dims, or no shape at all, accepted;
// the batch is checked with the other inputs once the session exists).
void checkDeclaredLipInput(const DeclaredInput& d, int32_t crop, const std::string& modelPath) {
  const std::vector<int64_t>& v = d.dims;
  auto fits = [](int64_t have, int64_t want) { return have < 0 || have == want; };
  const bool ok =
      d.type == 1 && (v.empty() || (v.size() == 4 && fits(v[1], 1) && fits(v[2], crop) && fits(v[3], crop)));
  if (ok) return;
  const std::string S = std::to_string(crop);
  throw std::runtime_error("Renderer: " + modelPath + " declares its own input 'lip_delivery' as " + typeText(d.type) +
                           " " + dimsText(v) + " and this renderer binds float [B,1," + S + "," + S +
                           "] — refusing a lip canvas the graph cannot take");
}

}  // namespace

bool Renderer::Impl::applyHoist(const GsBytes& model, bool coreml, const std::string& unit,
                                bool warpApplied) {
  const char* k = key.c_str();
  if (coreml && (unit == "all" || unit == "gpu")) {
    if (warpApplied)
      log::linef(log::Level::Info,
                 "[le] source-cone hoist SKIPPED (%s): the warp node subsumes the cone — there is "
                 "nothing left to hoist",
                 k);
    else
      log::linef(log::Level::Info,
                 "[le] source-cone hoist NOT applied (%s): CoreML unit set '%s' can place the "
                 "director on the GPU and the 12.58 MB boundary input would cross that partition "
                 "every frame (measured 0.61x on an M4) — the cone stays in the graph",
                 k, unit.c_str());
    return false;
  }
  if (warpApplied) {
    log::linef(log::Level::Info,
               "[le] source-cone hoist SKIPPED (%s): the warp node subsumes the cone — there is "
               "nothing left to hoist",
               k);
    return false;
  }
  if (identity == nullptr || model.empty() ||
      !(identity->hasRawP() || identity->hasHevcPrior() || identity->hasFsRed()))
    return false;

  std::string reason;
  GsBytes perFrame;
  try {
    std::string name;
    const size_t concats = findSourceConeBoundary(model, name);
    GsBytes prepBytes;
    if (concats != 1) {
      reason = "expected exactly one Concat consuming P_rgb, found " + std::to_string(concats);
    } else if (buildSourceConePrep(model, name, prepBytes, reason)) {
      ort::Recipe recipe;
      recipe.intraThreads = 1;
      recipe.interThreads = 1;
      recipe.level = ORT_ENABLE_ALL;
      recipe.noKleidiAi = true;
      const ort::Options po = ort::sessionOptions(recipe);
      auto prep = std::make_unique<Ort::Session>(ort::env(), prepBytes.data(), prepBytes.size(),
                                                 po.options);
      const std::vector<int64_t> in = shapeOf(prep->GetInputTypeInfo(0));
      const std::vector<int64_t> outShape = shapeOf(prep->GetOutputTypeInfo(0));
      bool staticOut = outShape.size() == 4;
      for (int64_t d : outShape) staticOut = staticOut && d > 0;
      if (in.size() != 4 || in[0] != 1) {
        reason = "batch-1 lever; this graph declares batch " +
                 (in.empty() ? std::string("?") : std::to_string(in[0]));
      } else if (!staticOut) {
        reason = "boundary shape is not static";
      } else if (buildSourceConePerFrame(model, name, outShape.data(), 4, perFrame, reason)) {
        auto director =
            std::make_unique<Ort::Session>(ort::env(), perFrame.data(), perFrame.size(), options);
        session = std::move(director);
        prepSession = std::move(prep);
        boundary = name;
        for (int i = 0; i < 4; ++i) boundaryDims[i] = outShape[i];
        log::linef(log::Level::Info,
                   "[le] source-cone hoist: '%s' [%lld,%lld,%lld,%lld] leaves the per-frame graph "
                   "and is prefetched per SOURCE FRAME on one spare core (%s)",
                   name.c_str(), static_cast<long long>(outShape[0]),
                   static_cast<long long>(outShape[1]), static_cast<long long>(outShape[2]),
                   static_cast<long long>(outShape[3]), k);
        return true;
      }
    }
  } catch (const std::exception& e) {
    reason = e.what();
  }
  prepSession.reset();
  boundary.clear();
  log::linef(log::Level::Info, "[le] source-cone hoist NOT applied (%s): %s", k,
             reason.empty() ? "no reason given" : reason.c_str());
  return false;
}

void Renderer::Impl::buildSession(const std::string& epIn) {
  const bool coreml = startsWith(epIn, "coreml");
  ring.reset();
  prepSession.reset();
  boundary.clear();
  binding.reset();
  session.reset();

  const std::string unit = chooseOptions(epIn, coreml);
  bool gsRewrite = true;
  GsBytes bytes = readModelAndRegisterDomains(coreml, gsRewrite);
  const RewriteCounts done = rewriteModel(bytes, coreml, gsRewrite);
  const bool lipRewritten = bindLipContour(bytes);
  const bool hoisted = applyHoist(bytes, coreml, unit, done.warp > 0);
  logRewrites(done);
  if (!hoisted) openSession(bytes, done.any() || lipRewritten);

  ep = epIn.empty() ? std::string("cpu") : epIn;
  log::linef(log::Level::Info, "[le] director ep=%s (%s)", ep.c_str(),
             coreml
                 ? "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept in the graph"
                 : "ORT CPU EP");
}


std::string Renderer::Impl::chooseOptions(const std::string& epIn, bool coreml) {
  ort::Recipe recipe;
  recipe.intraThreads = threads;
  recipe.interThreads = 1;
  recipe.level = ORT_ENABLE_ALL;
  recipe.spin = ort::Spin::IfAsked;
  recipe.noKleidiAi = true;
  recipe.profileIfAsked = true;

  std::string unit;
  if (epIn.empty()) {
    // the CPU provider: nothing to append
  } else if (startsWith(epIn, "xnnpack")) {
    throw std::runtime_error(
        "Renderer: ep '" + epIn +
        "' is REFUSED. This renderer rewrites its graph to quillFin custom-domain nodes "
        "(com.quillfin::GridSampleFast, and com.quillfin::WarpDirector wherever LE_WARP_NODE is on), "
        "and ORT's XNNPACK execution provider SEGFAULTS while partitioning a graph that carries them "
        "— measured 2026-09-15 on a published cadenza2-android AAR, null deref inside "
        "libonnxruntime.so at session create, on both a door-served and a hand-staged copy of the "
        "same identity. It is a signal, not an exception, so it cannot be caught and reported. Use "
        "the default ep (\"\", the ORT CPU EP), which opens the same bundle on the same bytes.");
  } else if (!coreml) {
    throw std::runtime_error("Renderer: unknown ep '" + epIn + "'");
  } else {
    unit = epIn.size() < 8 ? std::string("all") : epIn.substr(7);
    recipe.provider = ort::Provider::CoreML;
    recipe.coremlUnit = unit;
    recipe.coremlCacheDir = ort::coremlCacheDir(dir);
  }
  ort::Options built = ort::sessionOptions(recipe);
  options = std::move(built.options);
  profiling = built.profiling;
  return unit;
}

GsBytes Renderer::Impl::readModelAndRegisterDomains(bool coreml, bool& gsRewrite) {
  GsBytes bytes = readModel(modelPath);
  if (env::startsWith("LE_GS_FAST", '0')) {
    bool baked = false;
    try {
      baked = graphHasBakedGridSampleFast(bytes);
    } catch (const std::exception&) {
      baked = false;  // unreadable here: onnxruntime gives the real diagnosis
    }
    if (baked)
      throw std::runtime_error(
          "Renderer: LE_GS_FAST=0 (or QUILLFIN_CADENZA2_GRIDSAMPLE_FAST=0, which sets it) was asked "
          "for, but " +
          modelPath +
          " has com.quillfin::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op "
          "registration, so there would be no kernel to bind and this session would die inside ORT "
          "with 'GridSampleFast(-1) is not a registered function/op'. There is no standard-GridSample "
          "arm on this bundle to measure: the artifact itself is non-standard. Run the A/B on a "
          "STANDARD-ONNX bundle (the shipping format since INFERENCE_STANDARDIZATION.md #1), or unset "
          "the flag to load this one.");
    registerInt8ConvVNNI(options);
    gsRewrite = false;
    return bytes;
  }
  registerGridSampleFast(options);
  registerInt8ConvVNNI(options);
  if (env::startsWith("LE_GS_REWRITE", '0')) {
    gsRewrite = false;
    if (!coreml)
      log::linef(log::Level::Info,
                 "[le] LE_GS_REWRITE=0: load-time std GridSample -> com.quillfin::GridSampleFast "
                 "rewrite DISABLED (%s); the custom op is still registered, so a baked bundle "
                 "loads and runs its baked kernel. A standard bundle now runs ORT's own "
                 "GridSample.",
                 key.c_str());
  }
  return bytes;
}

Renderer::Impl::RewriteCounts Renderer::Impl::rewriteModel(GsBytes& bytes, bool coreml,
                                                           bool gsRewrite) {
  RewriteCounts done;
  const std::optional<std::string> warpEnv = env::nonEmpty("LE_WARP_NODE");
  if (warpEnv && (*warpEnv)[0] != '0') {
    std::string reason;
    done.warp = rewriteWarpBlockToCustomOp(bytes, reason);
    if (done.warp > 0) {
      // LE_GS_FAST=0 leaves the domain out; the new node needs its kernel.
      registerWarpDirector(options);
      log::linef(log::Level::Info,
                 "[le] director warp -> com.quillfin::WarpDirector (%zu nodes removed, the source "
                 "cone with them)",
                 done.warp);
    } else {
      log::linef(
          log::Level::Info,
          "[le] director warp NOT moved to one node (%s) — the graph loads exactly as it did "
          "before",
          reason.empty() ? "no reason given" : reason.c_str());
    }
  }
  if (gsRewrite && !coreml) done.gs = rewriteGridSampleToFast(bytes);
  done.blend = normaliseStudentBlend(bytes);
  done.head = rewriteHeadCubicResize(bytes);
  return done;
}

void Renderer::Impl::logLipNotBound(const std::string& reason) const {
  log::linef(log::Level::Warning,
             "[le] !!! lip contour NOT bound to the compose alpha (%s): %s — this session serves "
             "the graph's own ELLIPSE",
             key.c_str(), reason.empty() ? "no reason given" : reason.c_str());
}

bool Renderer::Impl::bindLipContour(GsBytes& bytes) {
  lipBound = false;
  lipInput = false;
  // A graph that already takes "lip_delivery" gets it bound whatever else
  // applies: an unbound input would fail its first run inside onnxruntime.
  DeclaredInput declared;
  try {
    declared = declaredInput(bytes, "lip_delivery");
  } catch (const std::exception&) {
    declared = {};  // an undecodable graph: onnxruntime gives the real diagnosis
  }
  if (declared.present) {
    checkDeclaredLipInput(declared, crop, modelPath);
    lipInput = true;
  }
  if (!lipContour) {
    log::linef(log::Level::Warning,
               "[le] !!! compose alpha: ELLIPSE (%s) — this bundle carries no %s, so the director "
               "generates the over-covering elliptical region the contour replaces. BACKFILL IT: "
               "models/cadenza-2/tools/carry_lip_template_fleet",
               key.c_str(), "lip_template.v1.json");
    return false;
  }
  if (declared.present) {
    lipBound = true;  // the graph composes with its own input: fill it
    return false;
  }
  std::string reason;
  int canvas = 0;
  size_t applied = 0;
  try {
    applied = rewriteBindLipContour(bytes, reason, &canvas, nullptr);
  } catch (const std::exception& e) {
    reason = e.what();  // an undecodable graph: onnxruntime gives the real diagnosis
  }
  if (applied == 0) {
    logLipNotBound(reason);
    return false;
  }
  // The contour is rasterised on the crop; on another canvas it would cut
  // the wrong pixels.
  if (canvas != crop)
    throw std::runtime_error("Renderer: the director's compose canvas is " + std::to_string(canvas) +
                             " and this bundle's manifest declares crop " + std::to_string(crop) +
                             " — refusing to bind a lip contour rasterised on the wrong canvas");
  lipBound = true;
  lipInput = true;
  return true;
}

// The feather is printed with one decimal and a point whatever the host's
// locale.
void Renderer::Impl::logLipContour() const {
  if (!lipBound) return;
  char feather[32];
  const auto r = std::to_chars(feather, feather + sizeof feather - 1,
                               static_cast<double>(lipContour->featherPx()),
                               std::chars_format::fixed, 1);
  *r.ptr = '\0';
  log::linef(log::Level::Info,
             "[le] compose alpha: LIP CONTOUR (%s) — Min(a, lip_delivery) bound at load, %d verts, "
             "feather %s px; the graph's ellipse is not reachable in this session",
             key.c_str(), lipContour->nv(), feather);
}

void Renderer::Impl::logRewrites(const RewriteCounts& done) const {
  const char* k = key.c_str();
  if (done.gs > 0)
    log::linef(
        log::Level::Info,
        "[le] std GridSample -> com.quillfin::GridSampleFast load-time rewrite: %zu node(s) (%s)",
        done.gs, k);
  if (done.blend > 0)
    log::linef(log::Level::Info,
               "[le] L3 student blend MatMul -> Gemm load-time normalisation: %zu node(s) (%s) — a "
               "pre-2026-09-11 student; as MatMul this graph aborts Apple's MPSGraph compiler on "
               "every CoreML unit that includes the GPU",
               done.blend, k);
  if (done.head > 0)
    log::linef(
        log::Level::Info,
        "[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: "
        "%zu node(s) (%s) — the same filter to fp32 round-off; ORT's cubic Resize kernel is "
        "the pole on every CPU-class EP and no CoreML/NNAPI EP can claim it",
        done.head, k);
  logLipContour();
}

// Unchanged bytes load from the file, as onnxruntime would load the bundle.
void Renderer::Impl::openSession(const GsBytes& bytes, bool rewritten) {
  if (rewritten)
    session = std::make_unique<Ort::Session>(ort::env(), bytes.data(), bytes.size(), options);
  else
    session = std::make_unique<Ort::Session>(ort::env(), modelPath.c_str(), options);
}

}  // namespace le
