// What the director graph declares, checked against what this renderer
// feeds, and the buffers bound to it once.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "le/bundle/identity.h"
#include "le/render/renderer_impl.h"

namespace le {
namespace {

std::string dimsText(const std::vector<int64_t>& d) {
  std::string s = "[";
  for (size_t i = 0; i < d.size(); ++i) s += (i ? "," : "") + std::to_string(d[i]);
  return s + "]";
}

}  // namespace

void Renderer::Impl::inspectInputs() {
  std::unordered_map<std::string, std::vector<int64_t>> inputs;
  std::vector<std::string> order;
  for (size_t i = 0; i < session->GetInputCount(); ++i) {
    std::string name = session->GetInputNameAllocated(i, allocator).get();
    inputs[name] = session->GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape();
    order.push_back(std::move(name));
  }
  featSynth = inputs.count("fs_red") != 0;

  const std::string pooledName = featSynth ? "pooled" : "pooled64";
  auto it = inputs.find(pooledName);
  if (it == inputs.end() || it->second.size() != 4 || it->second[0] <= 0)
    throw std::runtime_error(pooledName + " input not found / bad shape");
  // A batch past this cannot be a director; the buffers below are sized by it.
  if (it->second[0] > 4096) throw std::runtime_error(pooledName + " input not found / bad shape");
  batch = static_cast<int32_t>(it->second[0]);

  const char* kpNames[2] = {featSynth ? "kd" : "kp_driving", featSynth ? "ks" : "kp_source"};
  for (const std::string& name : order) {
    if (name != kpNames[0] && name != kpNames[1]) continue;
    const std::vector<int64_t>& d = inputs[name];
    if (d.size() != 3 || d[1] < 1 || d[1] == kHostKpRows) continue;
    std::string msg = "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + modelPath + " — the graph declares " +
                      name + " with " + std::to_string(d[1]) + " keypoint rows, and this renderer feeds " +
                      std::to_string(kHostKpRows) + " (le::kHostKpRows, le/le). ";
    if (d[1] == 22)
      msg += "That is the recipe_v4 / kd_v4 shape: row " + std::to_string(kHostKpRows) +
             " is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's second output. This engine has "
             "no width feed (see le_a2x_width / le_a2x_pull_wn in le/le_a2x, which nothing on this path "
             "calls yet), so it cannot drive this director. ";
    msg += "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been "
           "published to a host that links this renderer: training/recipe/host_kp_contract is the publish "
           "gate that exists to prevent it.";
    throw std::runtime_error(msg);
  }

  if (featSynth) {
    if (identity == nullptr || !identity->hasFsRed())
      throw std::runtime_error("FeatSynth graph but bundle lacks fs_red.f16");
  } else if (identity == nullptr || !(identity->hasRawP() || identity->hasHevcPrior())) {
    throw std::runtime_error(
        "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, "
        "nor a P_hevc.mov to play in place is present, so le::Identity mapped NOTHING and "
        "Identity::P(si) would be an offset from a null pointer — a SEGFAULT on the first frame, not a "
        "refusal. REFUSING to create a session.");
  }

  // Every input bound below must exist with a shape the buffers match; a
  // mismatch would otherwise surface as a Run failure on the first frame.
  const int64_t B = batch, S = crop;
  std::vector<std::pair<std::string, std::vector<int64_t>>> want;
  if (featSynth) {
    want = {{"fs_red", {B, 64, 64, 64}}, {"pooled", {B, 64, 32, 32}}, {"kd", {B, kHostKpRows, 3}},
            {"ks", {B, kHostKpRows, 3}}};
  } else {
    want = {{"pooled64", {B, 64, 32, 32}}, {"kp_driving", {B, kHostKpRows, 3}}, {"kp_source", {B, kHostKpRows, 3}}};
    if (boundary.empty()) want.push_back({"P_rgb", {B, 3, S, S}});
    else want.push_back({boundary, {boundaryDims.begin(), boundaryDims.end()}});
  }
  if (lipInput) want.push_back({"lip_delivery", {B, 1, S, S}});
  for (const auto& [name, shape] : want) {
    auto f = inputs.find(name);
    if (f == inputs.end()) throw std::runtime_error("Renderer: " + modelPath + " has no input '" + name + "'");
    bool ok = f->second.size() == shape.size();
    for (size_t i = 0; ok && i < shape.size(); ++i) ok = f->second[i] < 1 || f->second[i] == shape[i];
    if (!ok)
      throw std::runtime_error("Renderer: " + modelPath + " declares input '" + name + "' as " +
                               dimsText(f->second) + " and this renderer binds " + dimsText(shape));
  }
}

void Renderer::Impl::bindOnce() {
  const size_t B = static_cast<size_t>(batch);
  const size_t kp = static_cast<size_t>(kHostKpRows) * 3;
  pooled.assign(B * kPooledN, 0.f);
  if (featSynth) prior.assign(B * kFsRedN, 0.f);
  else if (boundary.empty()) prior.assign(B * priorN, 0.f);
  kd.assign(B * kp, 0.f);
  ks.assign(B * kp, 0.f);
  out.assign(B * priorN, 0.f);

  binding = std::make_unique<Ort::IoBinding>(*session);
  auto bind = [&](const char* name, std::vector<float>& buf, std::vector<int64_t> shape, bool output) {
    bound.push_back(Ort::Value::CreateTensor<float>(mem, buf.data(), buf.size(), shape.data(), shape.size()));
    if (output) binding->BindOutput(name, bound.back());
    else binding->BindInput(name, bound.back());
  };
  const int64_t b = batch, S = crop, R = kHostKpRows;
  if (featSynth) {
    bind("fs_red", prior, {b, 64, 64, 64}, false);
    bind("pooled", pooled, {b, 64, 32, 32}, false);
    bind("kd", kd, {b, R, 3}, false);
    bind("ks", ks, {b, R, 3}, false);
  } else {
    bind("pooled64", pooled, {b, 64, 32, 32}, false);
    if (boundary.empty()) bind("P_rgb", prior, {b, 3, S, S}, false);
    bind("kp_driving", kd, {b, R, 3}, false);
    bind("kp_source", ks, {b, R, 3}, false);
  }
  // Until the first render (and always without a bound contour) every
  // pixel keeps the graph's own alpha.
  if (lipInput) {
    lipCanvas.assign(B * static_cast<size_t>(crop) * static_cast<size_t>(crop), 1.f);
    bind("lip_delivery", lipCanvas, {b, 1, S, S}, false);
  }
  bind("rgb", out, {b, 3, S, S}, true);

  if (!boundary.empty())
    ring = std::make_unique<SourceConeRing>(std::move(prepSession), boundary, boundaryDims, identity, crop, mem);
}

}  // namespace le
