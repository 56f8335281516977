// The process's one onnxruntime environment and the one recipe for session
// options: every engine (director, audio frontend, a2x, motion generator,
// face-conditioned deltas) opens its sessions on env() with options from
// sessionOptions().
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <optional>
#include <string>

namespace le::ort {

// Created by the first call from any thread, never destroyed: the shared
// audio frontend's sessions live until the process exits. onnxruntime's own
// messages of warning level and above reach le::log as single lines
// ("[onnxruntime] warning: ...", no colour codes); below warning nothing.
// A process that created an onnxruntime environment before the library did
// shares that one, with its logging.
Ort::Env& env();

// The log line of one onnxruntime message: "[onnxruntime] warning: " or
// "[onnxruntime] error: " and the message with every control character
// (newlines, escape sequences) replaced by a blank.
std::string logLine(OrtLoggingLevel severity, const char* message);

// Intra-op spinning: off, onnxruntime's own choice (on), or on exactly when
// LE_ORT_SPIN starts with '1'.
enum class Spin { Off, OrtDefault, IfAsked };

enum class Provider { Cpu, CoreML, Cuda };

struct Recipe {
  int intraThreads = 0;  // below 1: le::pool::threads()
  int interThreads = 0;  // 0: onnxruntime's choice
  std::optional<GraphOptimizationLevel> level;  // unset: onnxruntime's (all)
  Spin spin = Spin::Off;
  bool noKleidiAi = false;  // "mlas.disable_kleidiai" = "1"
  // LE_ORT_PROFILE, when set and not empty, becomes the profiling prefix.
  bool profileIfAsked = false;
  Provider provider = Provider::Cpu;
  std::string coremlUnit;      // "cpu", "gpu", "ane"; anything else is every unit
  std::string coremlCacheDir;  // see coremlCacheDir()
  uint64_t cudaMemMiB = 3072;
  std::string cudaTag;         // names the sessions in the CUDA lines
};

struct Options {
  Ort::SessionOptions options;
  bool profiling = false;  // profiling was enabled
  bool cuda = false;       // the CUDA provider was appended
};

// Options after the recipe. A CoreML provider that onnxruntime refuses
// throws (the caller decides whether to fall back); a CUDA provider that
// cannot be appended is reported ("[le_a2x] CUDA EP append failed ...") and
// the options stay on the processor.
Options sessionOptions(const Recipe& recipe);

// CoreML's MLComputeUnits for a unit text.
const char* coremlComputeUnits(const std::string& unit);
// dir + "/.coreml_cache/ort" + onnxruntime's version ("unknown" without one).
std::string coremlCacheDir(const std::string& dir);

}  // namespace le::ort
