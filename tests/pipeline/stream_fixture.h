// The demo identity prepared for the batch stream (`lefix stream`, 20 driver
// frames with a JPEG driver), espeak-ng speech of 30 frames so the plan wraps
// the driver once, and bundle variants that share the base files through
// symbolic links except for the members a test replaces.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "testkit/testkit.h"

namespace le::test {

inline constexpr int kStreamNT = 20;
inline constexpr int kSpeechFrames = 30;

inline const std::string& streamBundle() {
  static TempDir dir;
  static const std::string path = [] {
    const std::string p = dir / "b";
    if (runFixture({"stream", "--out", p, "--seconds", "0.8", "--jpg"}) != 0) return std::string();
    return p;
  }();
  return path;
}

inline const std::vector<float>& streamSpeech() {
  static TempDir dir;
  static const std::vector<float> samples = [] {
    const std::string p = dir / "s.f32";
    if (runFixture({"speech", "--out", p, "--text", "a whole clip of speech", "--seconds", "1.2"}) != 0)
      return std::vector<float>();
    return readF32(p);
  }();
  return samples;
}

// dst mirrors src through hard links (a symbolic link out of a bundle is
// refused), except the names in `own` (relative paths, one directory deep)
// which the caller writes; directories are mirrored entry by entry.
inline void linkBundle(const std::string& src, const std::string& dst,
                       const std::set<std::string>& own) {
  namespace fs = std::filesystem;
  fs::create_directories(dst);
  for (const auto& e : fs::directory_iterator(src)) {
    const std::string name = e.path().filename();
    bool holds = false;
    for (const std::string& o : own) holds = holds || o.rfind(name + "/", 0) == 0;
    if (own.count(name)) continue;
    if (holds || e.is_directory()) {
      std::set<std::string> inner;
      for (const std::string& o : own)
        if (o.rfind(name + "/", 0) == 0) inner.insert(o.substr(name.size() + 1));
      linkBundle(e.path(), dst + "/" + name, inner);
      continue;
    }
    std::error_code ec;
    fs::create_hard_link(e.path(), dst + "/" + name, ec);
    if (ec) fs::copy_file(e.path(), dst + "/" + name);  // another file system
  }
}

}  // namespace le::test
