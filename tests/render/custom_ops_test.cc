// The com.quillfin domain is created once, however many sessions register it
// at the same time.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <thread>

#include "le/render/le_custom_ops.h"

namespace {

TEST(QuillfinDomain, CreatedOnceUnderConcurrentRegistration) {
  Ort::SessionOptions a, b;
  OrtCustomOpDomain* seen[2] = {nullptr, nullptr};
  std::thread t1([&] { le::registerGridSampleFast(a); seen[0] = le::quillfinDomain(); });
  std::thread t2([&] { le::registerWarpDirector(b); seen[1] = le::quillfinDomain(); });
  t1.join();
  t2.join();
  ASSERT_NE(seen[0], nullptr);
  EXPECT_EQ(seen[0], seen[1]);
}

}  // namespace
