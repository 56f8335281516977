// Fixture bundles for the renderer: a lefix bundle directory, fixture
// director graphs as model_<variant>.onnx, and random identity members
// (pooled64.f16, P.f16, fs_red.f16) written here; a Renderer loaded from one.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "le/driver/cursor.h"
#include "le/render/le_renderer.h"
#include "le/runtime/le_simd.h"
#include "render/rewrite_runner.h"

namespace le::test {

inline std::string halfFile(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(0.f, 1.f);
  std::string s(n * 2, '\0');
  for (size_t i = 0; i < n; ++i) {
    const uint16_t h = le::f32ToF16(d(rng));
    std::memcpy(&s[i * 2], &h, 2);
  }
  return s;
}

// Writes a bundle of nt frames at crop into dir, with or without P.f16 and
// fs_red.f16; directors of `batch` for every variant.
inline void writeRenderBundle(const std::string& dir, int nt, int crop, int batch, bool withP, bool withFsRed) {
  const std::string c = std::to_string(crop);
  ASSERT_EQ(runFixture({"bundle", "--out", dir, "--nt", std::to_string(nt), "--crop", c, "--size", "64", "64"}), 0);
  const std::string models = dir + "/.directors";
  ASSERT_EQ(runFixture({"director", "--out", models, "--crop", c, "--batch", std::to_string(batch)}), 0);
  for (const char* v : {"plain", "featsynth", "baked", "two_concats", "no_cone", "named_batch"})
    ASSERT_EQ(std::rename((models + "/director_" + v + ".onnx").c_str(), (dir + "/model_" + v + ".onnx").c_str()), 0);
  const size_t N = static_cast<size_t>(nt);
  writeFile(dir + "/pooled64.f16", halfFile(N * 65536, 1));
  if (withP) writeFile(dir + "/P.f16", halfFile(N * 3 * crop * crop, 2));
  if (withFsRed) writeFile(dir + "/fs_red.f16", halfFile(N * 262144, 3));
}

// A bundle a session opens: driver video, the plain director at crop, and
// random identity members; legacy member names.
inline void writeSessionBundle(const std::string& dir, int nt, int w, int h, int crop) {
  const std::string c = std::to_string(crop), W = std::to_string(w), H = std::to_string(h);
  EXPECT_EQ(runFixture({"bundle", "--out", dir, "--nt", std::to_string(nt), "--crop", c, "--size", W, H, "--legacy-names"}), 0);
  EXPECT_EQ(runFixture({"video", "mp4", "--out", dir + "/target_frames.mp4", "--nt", std::to_string(nt), "--size", W, H}), 0);
  EXPECT_EQ(runFixture({"director", "--variant", "plain", "--crop", c, "--out", dir + "/model_plain.onnx"}), 0);
  writeFile(dir + "/pooled64.f16", halfFile(size_t(nt) * 65536, 1));
  writeFile(dir + "/P.f16", halfFile(size_t(nt) * 3 * crop * crop, 2));
}

inline std::vector<float> halfsAt(const std::string& file, size_t frame, size_t per) {
  const std::string bytes = readFile(file);
  std::vector<float> out(per);
  std::vector<uint16_t> h(per);
  std::memcpy(h.data(), bytes.data() + frame * per * 2, per * 2);
  simd::f16ToF32(h.data(), out.data(), per);
  return out;
}

// Keypoints near the face centre; the driving set a small move away.
inline void randomKeypoints(std::mt19937& rng, std::vector<float>& ks, std::vector<float>& kd, size_t frames) {
  std::uniform_real_distribution<float> pos(-0.6f, 0.6f), move(-0.08f, 0.08f);
  ks.resize(frames * 63);
  kd.resize(frames * 63);
  for (size_t i = 0; i < ks.size(); ++i) {
    ks[i] = pos(rng);
    kd[i] = ks[i] + move(rng);
  }
}

// onnxruntime on a director graph: batch position 0 of a run whose every
// position carries frame si of dir's identity (and `lip` as "lip_delivery").
class DirectorReference {
 public:
  DirectorReference(std::string dir, const GsBytes& model, int crop)
      : dir_(std::move(dir)), crop_(crop), s_(sessionOf(model, 1)) {
    batch_ = std::max<int64_t>(1, s_.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape()[0]);
    Ort::AllocatorWithDefaultOptions a;
    for (size_t i = 0; i < s_.GetInputCount(); ++i) fs_ |= std::string(s_.GetInputNameAllocated(i, a).get()) == "fs_red";
  }
  std::vector<float> crop(int32_t si, const float* ks, const float* kd, const float* lip = nullptr) {
    const int64_t B = batch_, S = crop_;
    auto rep = [&](const std::vector<float>& v) {
      std::vector<float> r;
      for (int64_t b = 0; b < B; ++b) r.insert(r.end(), v.begin(), v.end());
      return r;
    };
    Feeds feeds(1, B);
    feeds.set(fs_ ? "pooled" : "pooled64", {B, 64, 32, 32}, rep(halfsAt(dir_ + "/pooled64.f16", si, 65536)));
    if (fs_) feeds.set("fs_red", {B, 64, 64, 64}, rep(halfsAt(dir_ + "/fs_red.f16", si, 262144)));
    else feeds.set("P_rgb", {B, 3, S, S}, rep(halfsAt(dir_ + "/P.f16", si, 3 * S * S)));
    feeds.set(fs_ ? "ks" : "kp_source", {B, 21, 3}, rep(std::vector<float>(ks, ks + 63)));
    feeds.set(fs_ ? "kd" : "kp_driving", {B, 21, 3}, rep(std::vector<float>(kd, kd + 63)));
    if (lip != nullptr) feeds.set("lip_delivery", {B, 1, S, S}, rep(std::vector<float>(lip, lip + S * S)));
    const Tensors t = runAll(s_, feeds);
    const std::vector<float>& rgb = t.at("rgb").second;
    return std::vector<float>(rgb.begin(), rgb.begin() + 3 * S * S);
  }

 private:
  std::string dir_;
  int crop_;
  Ort::Session s_;
  int64_t batch_ = 1;
  bool fs_ = false;
};

// A Renderer loaded from a bundle directory with the Identity it reads and
// the standard-error lines its construction wrote.
struct Loaded {
  Manifest manifest;
  std::unique_ptr<Identity> identity;
  std::unique_ptr<Renderer> renderer;
  std::string log;
};

inline Loaded load(const std::string& dir, const std::string& key, const std::string& ep = "", int threads = 1) {
  Loaded l;
  l.manifest = loadManifest(dir);
  l.identity = std::make_unique<Identity>(l.manifest, driver::openPriorStream);
  testing::internal::CaptureStderr();
  try {
    l.renderer = std::make_unique<Renderer>(l.manifest, l.identity.get(), key, threads, ep);
  } catch (...) {
    l.log = testing::internal::GetCapturedStderr();
    throw;
  }
  l.log = testing::internal::GetCapturedStderr();
  return l;
}

// Largest absolute difference; two NaNs agree, one NaN is infinitely off.
inline float maxDiff(const float* a, const float* b, size_t n) {
  float m = 0.f;
  for (size_t i = 0; i < n; ++i) {
    if (std::isnan(a[i]) || std::isnan(b[i])) {
      if (std::isnan(a[i]) != std::isnan(b[i])) return INFINITY;
      continue;
    }
    m = std::max(m, std::fabs(a[i] - b[i]));
  }
  return m;
}

}  // namespace le::test
