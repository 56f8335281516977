// The a2x fixture tree (frontends, model directories, speech) written once
// per fixture source version beside the test executable and shared by every
// test process, plus small helpers to drive a handle.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "le/le_a2x.h"
#include "testkit/testkit.h"

namespace le::test {

// Written into a staging directory and renamed into place, so concurrent test
// processes either see the whole tree or write their own copy.
inline const std::string& a2xTree() {
  static const std::string dir = [] {
    std::string key;
    for (const char* f : {"a2x.py", "audio_frontend.py", "members.py", "onnxkit.py", "speech.py"})
      key += readFile(std::string(LE_FIXTURES_DIR) + "/lefix/" + f);
    // Beside the test executable: the cache goes away with the build tree.
    std::string exe(4096, '\0');
    const ssize_t len = ::readlink("/proc/self/exe", exe.data(), exe.size() - 1);
    exe.resize(len > 0 ? static_cast<size_t>(len) : 0);
    const size_t slash = exe.rfind('/');
    const std::string base = slash == std::string::npos ? std::string("/tmp") : exe.substr(0, slash);
    const std::string root = base + "/a2x_fixture_" + std::to_string(std::hash<std::string>{}(key));
    if (exists(root + "/speech_long.f32")) return root;
    const std::string staging = root + ".staging." + std::to_string(::getpid());
    if (runFixture({"a2x", "--out", staging}) != 0) return std::string();
    if (std::rename(staging.c_str(), root.c_str()) != 0) std::system(("rm -rf '" + staging + "'").c_str());
    return root;
  }();
  return dir;
}

inline std::string a2xPath(const std::string& rel) { return a2xTree() + "/" + rel; }

inline std::vector<float> speech() { return readF32(a2xPath("speech.f32")); }
inline std::vector<float> speechLong() { return readF32(a2xPath("speech_long.f32")); }

// Frames pulled from a handle.
struct Pulled { std::vector<int> idx; std::vector<float> src, drv, wn; size_t frames() const { return idx.size(); } };

inline int pullInto(le_a2x* a, Pulled& p, int n) {
  const size_t at = p.frames(), k = static_cast<size_t>(n);
  p.idx.resize(at + k), p.src.resize((at + k) * 63), p.drv.resize(p.src.size()), p.wn.resize(at + k);
  const int got = le_a2x_pull_wn(a, p.idx.data() + at, p.src.data() + at * 63, p.drv.data() + at * 63, p.wn.data() + at, n);
  const size_t kept = at + static_cast<size_t>(std::max(got, 0));
  p.idx.resize(kept), p.src.resize(kept * 63), p.drv.resize(kept * 63), p.wn.resize(kept);
  return got;
}

// Pushes everything, finishes and pulls every frame in chunks of n.
inline Pulled streamWhole(le_a2x* a, const std::vector<float>& audio, int n = 64) {
  Pulled p;
  le_a2x_push(a, audio.data(), static_cast<int>(audio.size()));
  le_a2x_finish(a);
  while (pullInto(a, p, n) > 0) {
  }
  return p;
}

// Environment for a test process: W2V_ONNX in one of the frontend directories.
struct A2xEnv {
  explicit A2xEnv(const std::string& frontend) : w2v("W2V_ONNX", a2xPath(frontend + "/w2v.onnx")) {}
  ScopedEnv w2v, win{"LE_A2X_W2V_WIN_ONNX", std::nullopt}, head{"LE_A2X_W2V_HEAD_ONNX", std::nullopt},
      right{"LE_A2X_W2V_RIGHT", std::nullopt}, prime{"LE_A2X_SILENCE_PRIME", std::nullopt},
      cuda{"LE_A2X_CUDA", std::nullopt};
};

}  // namespace le::test
