#include "le/render/le_renderer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "le/bundle/identity.h"
#include "le/bundle/manifest.h"
#include "le/render/renderer_impl.h"
#include "le/runtime/le_pool.h"
#include "le/runtime/le_simd.h"
#include "le/runtime/log.h"

namespace le {

Renderer::Impl::~Impl() {
  ring.reset();  // joins the prefetch thread before anything it reads goes
  if (!profiling) return;
  if (runFrames > 0)
    log::linef(log::Level::Info, "[le_ort_profile] %ld frames: %.2f ms/frame in Session::Run",
               static_cast<long>(runFrames), runMs / static_cast<double>(runFrames));
  if (session) {
    try {
      Ort::AllocatedStringPtr file = session->EndProfilingAllocated(allocator);
      log::linef(log::Level::Info, "[le_ort_profile] %s", file.get());
    } catch (const std::exception& e) {
      log::linef(log::Level::Warning, "[le_ort_profile] FAILED: %s", e.what());
    }
  }
}

Renderer::Renderer(const Manifest& manifest, Identity* identity, const std::string& key, int32_t threads,
                   const std::string& epIn)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.crop = manifest.crop;
  if (m.crop < 1 || m.crop > 8192) throw std::runtime_error("Renderer: bad crop " + std::to_string(m.crop));
  m.priorN = 3 * static_cast<size_t>(m.crop) * static_cast<size_t>(m.crop);
  m.threads = threads < 1 ? pool::threads() : threads;
  m.identity = identity;
  m.key = key;
  m.dir = manifest.dir;
  m.modelPath = manifest.modelPath(key);

  std::string ep = epIn;
  if (m.chooseConvBackend(ep, manifest.lipTemplateJson)) return;

  m.runOptions.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
  m.prepareLipContour(manifest.lipTemplateJson);

  try {
    m.buildSession(ep);
  } catch (const std::exception& e) {
    if (!startsWith(ep, "coreml")) throw;
    log::linef(log::Level::Warning,
               "[le] CoreML EP session refused: %s — falling back to the ORT CPU EP", e.what());
    m.buildSession("");
  }
  m.inspectInputs();
  m.bindOnce();
}

void Renderer::Impl::prepareLipContour(const std::string& templateJson) {
  if (!templateJson.empty()) lipContour = tessera::LipContour::fromTemplateJson(templateJson, crop);
}

Renderer::~Renderer() = default;

int32_t Renderer::batch() const { return impl_->batch; }
std::string Renderer::ep() const { return impl_->ep.empty() ? std::string("cpu") : impl_->ep; }
const char* Renderer::backend() const { return impl_->conv ? "neon" : "ort"; }
const char* Renderer::directorNote() const { return ""; }

void Renderer::Impl::run() {
  const auto t0 = std::chrono::steady_clock::now();
  session->Run(runOptions, *binding);
  runMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  ++runFrames;
}

const float* Renderer::Impl::renderHoisted(int32_t si, const float* ksIn, const float* kdIn) {
  SourceConeRing::Slot& slot = ring->acquire(si);
  binding->BindInput(boundary.c_str(), slot.tensor);
  simd::f16ToF32(identity->pooled64(si), pooled.data(), kPooledN);
  const size_t kp = static_cast<size_t>(kHostKpRows) * 3;
  std::memcpy(ks.data(), ksIn, kp * sizeof(float));
  std::memcpy(kd.data(), kdIn, kp * sizeof(float));
  if (lipBound) lipContour->contourF32Canvas(kdIn, lipCanvas.data());
  ring->schedule(si);
  run();
  return out.data();
}

const float* Renderer::Impl::renderPlain(const int32_t* si, const float* ksIn, const float* kdIn, int32_t n) {
  const size_t kp = static_cast<size_t>(kHostKpRows) * 3;
  const size_t priorFrame = featSynth ? kFsRedN : priorN;
  const size_t plane = priorN / 3;  // one lip canvas
  for (int32_t i = 0; i < batch; ++i) {
    const size_t f = static_cast<size_t>(i);
    if (i < n) {
      simd::f16ToF32(identity->pooled64(si[i]), pooled.data() + f * kPooledN, kPooledN);
      const uint16_t* src = nullptr;
      if (featSynth) {
        src = identity->fsRed(si[i]);
      } else if (identity->hasHevcPrior()) {
        priorHalf.resize(priorN);
        identity->copyP(si[i], priorHalf.data());
        src = priorHalf.data();
      } else {
        src = identity->P(si[i]);
      }
      simd::f16ToF32(src, prior.data() + f * priorFrame, priorFrame);
      std::memcpy(ks.data() + f * kp, ksIn + f * kp, kp * sizeof(float));
      std::memcpy(kd.data() + f * kp, kdIn + f * kp, kp * sizeof(float));
      if (lipBound) lipContour->contourF32Canvas(kdIn + f * kp, lipCanvas.data() + f * plane);
    } else {
      const size_t last = static_cast<size_t>(n - 1);
      std::memcpy(pooled.data() + f * kPooledN, pooled.data() + last * kPooledN, kPooledN * sizeof(float));
      std::memcpy(prior.data() + f * priorFrame, prior.data() + last * priorFrame, priorFrame * sizeof(float));
      std::memcpy(ks.data() + f * kp, ks.data() + last * kp, kp * sizeof(float));
      std::memcpy(kd.data() + f * kp, kd.data() + last * kp, kp * sizeof(float));
      if (lipBound)
        std::memcpy(lipCanvas.data() + f * plane, lipCanvas.data() + last * plane, plane * sizeof(float));
    }
  }
  run();
  return out.data();
}

const float* Renderer::render(const int32_t* si, const float* ks, const float* kd, int32_t n) {
  Impl& m = *impl_;
  if (n < 1 || n > m.batch) throw std::runtime_error("render: bad n");
  if (si == nullptr || ks == nullptr || kd == nullptr) throw std::runtime_error("render: null argument");
  const int32_t NT = m.identity->NT();
  for (int32_t i = 0; i < n; ++i)
    if (si[i] < 0 || si[i] >= NT) throw std::runtime_error("render: bad si");
  if (m.conv) return m.renderConv(si, ks, kd, n);
  if (m.ring) return m.renderHoisted(si[0], ks, kd);
  return m.renderPlain(si, ks, kd, n);
}

}  // namespace le
