// The Renderer's side of the fp16 engine: the choice at construction (asked
// for by the ep "neon" or LE_CONV_BACKEND=neon, never by default) and the
// render step that hands it the identity's frames.
#include <stdexcept>
#include <string>

#include "le/bundle/identity.h"
#include "le/render/renderer_impl.h"
#include "le/runtime/env.h"
#include "le/runtime/le_simd.h"
#include "le/runtime/log.h"

namespace le {
namespace {

bool convRequested(const std::string& ep) {
  return ep == "neon" || (ep.empty() && env::is("LE_CONV_BACKEND", "neon"));
}

}  // namespace

bool Renderer::Impl::chooseConvBackend(std::string& epIo, const std::string& lipTemplateText) {
  if (!convRequested(epIo)) return false;
  if (!ConvBackend::available()) {
    log::line(log::Level::Warning, "[le] fp16 NEON backend requested but unavailable on this build/CPU; using ORT");
    epIo.clear();
    return false;
  }
  const M4bProbe probe = probeM4b(modelPath);
  if (!probe.supported) {
    log::line(log::Level::Warning,
              "[le] NEON backend refused: " + key + " is not the fused m4b graph (golden/unified director?); using ORT");
    epIo.clear();
    return false;
  }
#if defined(__aarch64__)
  if (crop != 512) throw std::runtime_error("le_conv: only crop=512 m4b bundles");
#endif
  if (probe.crop != crop)
    throw std::runtime_error("le_conv: the m4b graph renders crop " + std::to_string(probe.crop) +
                             " but the manifest declares crop " + std::to_string(crop));
  // The engine reads the prior of every frame it renders; without one the
  // first render would read through a null pointer.
  if (identity == nullptr || !(identity->hasRawP() || identity->hasHevcPrior()))
    throw std::runtime_error(
        "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, "
        "nor a P_hevc.mov to play in place is present, so le::Identity mapped NOTHING and "
        "Identity::P(si) would be an offset from a null pointer — a SEGFAULT on the first frame, not a "
        "refusal. REFUSING to create a session.");
  conv = ConvBackend::create(modelPath, threads);
  ep = "neon";
  epIo = ep;
  batch = conv->batch();
  const size_t B = static_cast<size_t>(batch);
  out.assign(B * priorN, 0.0f);
  convPooled.assign(B, nullptr);
  convPrior.assign(B, nullptr);
  if (identity->hasHevcPrior()) priorHalf.assign(B * priorN, 0);
  if (!lipTemplateText.empty()) logLipNotBound("the fp16 engine serves the fused m4b graph as written");
  log::line(log::Level::Info, std::string("[le] director ep=neon (fp16 engine on ") + simd::target() + ")");
  return true;
}

const float* Renderer::Impl::renderConv(const int32_t* si, const float* ksIn, const float* kdIn, int32_t n) {
  const bool copied = identity->hasHevcPrior();
  for (int32_t i = 0; i < n; ++i) {
    const size_t f = static_cast<size_t>(i);
    convPooled[f] = identity->pooled64(si[i]);
    if (copied) {
      // One slot per frame: the played prior's memory is reused by the next pull.
      identity->copyP(si[i], priorHalf.data() + f * priorN);
      convPrior[f] = priorHalf.data() + f * priorN;
    } else {
      convPrior[f] = identity->P(si[i]);
    }
  }
  conv->render(convPooled.data(), convPrior.data(), ksIn, kdIn, n, out.data());
  return out.data();
}

}  // namespace le
