// The process's onnxruntime environment: one object whatever the thread, its
// warnings through the log sink as plain single lines, and the session
// recipe's choices.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "le/runtime/ort_env.h"
#include "testkit/log_lines.h"
#include "testkit/testkit.h"

namespace {

using le::test::ScopedEnv;

// y = Identity(x) with an initializer no node reads: onnxruntime warns that
// it removes it.
constexpr unsigned char kUnusedInitializerModel[] = {
    0x08, 0x07, 0x12, 0x00, 0x3a, 0x4b, 0x0a, 0x10, 0x0a, 0x01, 0x78, 0x12, 0x01, 0x79, 0x22,
    0x08, 0x49, 0x64, 0x65, 0x6e, 0x74, 0x69, 0x74, 0x79, 0x12, 0x01, 0x67, 0x2a, 0x12, 0x08,
    0x01, 0x10, 0x01, 0x22, 0x04, 0x00, 0x00, 0x80, 0x3f, 0x42, 0x06, 0x75, 0x6e, 0x75, 0x73,
    0x65, 0x64, 0x5a, 0x0f, 0x0a, 0x01, 0x78, 0x12, 0x0a, 0x0a, 0x08, 0x08, 0x01, 0x12, 0x04,
    0x0a, 0x02, 0x08, 0x01, 0x62, 0x0f, 0x0a, 0x01, 0x79, 0x12, 0x0a, 0x0a, 0x08, 0x08, 0x01,
    0x12, 0x04, 0x0a, 0x02, 0x08, 0x01, 0x42, 0x04, 0x0a, 0x00, 0x10, 0x0d};

TEST(OrtEnv, OneEnvironmentForEveryThread) {
  std::vector<const Ort::Env*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = &le::ort::env(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::set<const Ort::Env*>(seen.begin(), seen.end()), std::set<const Ort::Env*>{&le::ort::env()});
}

TEST(OrtEnv, WarningsReachTheSinkAsSingleLines) {
  le::test::LogLines log;
  {
    Ort::SessionOptions o;
    Ort::Session s(le::ort::env(), kUnusedInitializerModel, sizeof kUnusedInitializerModel, o);
  }
  std::vector<std::string> ort;
  int info = 0;
  for (const auto& [level, line] : log.lines()) {
    if (line.rfind("[onnxruntime] info: ", 0) == 0) {  // a host's sink gets them, at info level
      EXPECT_EQ(level, LE_LOG_INFO) << line;
      ++info;
      continue;
    }
    if (line.rfind("[onnxruntime] ", 0) != 0) continue;
    ort.push_back(line);
    EXPECT_EQ(level, LE_LOG_WARNING) << line;
  }
  EXPECT_GT(info, 0);
  ASSERT_EQ(ort.size(), 1u) << (log.lines().empty() ? "(nothing)" : log.lines()[0].second);
  EXPECT_EQ(ort[0].rfind("[onnxruntime] warning: Removing initializer 'unused'", 0), 0u) << ort[0];
}

TEST(OrtEnv, LogLinesHaveNoControlCharacters) {
  EXPECT_EQ(le::ort::logLine(ORT_LOGGING_LEVEL_WARNING, "a\nb\x1b[1;31mc\td\x7f"), "[onnxruntime] warning: a b [1;31mc d ");
  EXPECT_EQ(le::ort::logLine(ORT_LOGGING_LEVEL_ERROR, "x"), "[onnxruntime] error: x");
  EXPECT_EQ(le::ort::logLine(ORT_LOGGING_LEVEL_INFO, "y"), "[onnxruntime] info: y");
  EXPECT_EQ(le::ort::logLine(ORT_LOGGING_LEVEL_FATAL, nullptr), "[onnxruntime] error: ");
}

TEST(OrtRecipe, CoreMLUnitsAndCacheDirectory) {
  for (const auto& [unit, units] : {std::pair{"cpu", "CPUOnly"}, {"gpu", "CPUAndGPU"}, {"ane", "CPUAndNeuralEngine"},
                                     {"all", "ALL"}, {"", "ALL"}, {"CPU", "ALL"}})
    EXPECT_STREQ(le::ort::coremlComputeUnits(unit), units) << unit;
  EXPECT_EQ(le::ort::coremlCacheDir("/b"), std::string("/b/.coreml_cache/ort") + Ort::GetVersionString());
}

TEST(OrtRecipe, ProfilingOnlyWhenAskedAndNamed) {
  le::test::TempDir t;
  const std::string prefix = t / "prof";
  struct Case { std::optional<std::string> env; bool ask, profiling; };
  for (const Case& c : {Case{prefix, true, true}, Case{prefix, false, false}, Case{"", true, false},
                        Case{std::nullopt, true, false}}) {
    ScopedEnv p("LE_ORT_PROFILE", c.env);
    le::ort::Recipe r;
    r.intraThreads = 1;
    r.profileIfAsked = c.ask;
    EXPECT_EQ(le::ort::sessionOptions(r).profiling, c.profiling) << c.env.value_or("(unset)") << c.ask;
  }
}

TEST(OrtRecipe, CoreMLIsRefusedByABuildWithoutIt) {
  le::ort::Recipe r;
  r.provider = le::ort::Provider::CoreML;
  r.coremlCacheDir = "/nonexistent";
  const std::vector<std::string> providers = Ort::GetAvailableProviders();
  if (std::find(providers.begin(), providers.end(), "CoreMLExecutionProvider") != providers.end())
    GTEST_SKIP() << "this onnxruntime has CoreML";
  EXPECT_THROW(le::ort::sessionOptions(r), Ort::Exception);
}

}  // namespace
