// A Renderer loaded from a bundle directory with the Identity it reads and
// the standard-error lines its construction wrote.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "le/bundle/identity.h"
#include "le/bundle/manifest.h"
#include "le/driver/cursor.h"
#include "le/render/le_renderer.h"

namespace le::test {

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

}  // namespace le::test
