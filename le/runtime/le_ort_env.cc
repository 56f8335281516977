#include "le/runtime/ort_env.h"

#include <exception>

#include "le/runtime/env.h"
#include "le/runtime/le_pool.h"
#include "le/runtime/log.h"

namespace le::ort {
namespace {

void ORT_API_CALL forward(void*, OrtLoggingLevel severity, const char*, const char*, const char*,
                          const char* message) {
  // Info lines go to a host's sink only (a tool shows them with -v); standard
  // error by default keeps warnings and errors, as before.
  if (severity < ORT_LOGGING_LEVEL_INFO) return;
  if (severity < ORT_LOGGING_LEVEL_WARNING && !log::hostSink()) return;
  try {
    const log::Level level = severity >= ORT_LOGGING_LEVEL_ERROR     ? log::Level::Error
                             : severity >= ORT_LOGGING_LEVEL_WARNING ? log::Level::Warning
                                                                     : log::Level::Info;
    log::line(level, logLine(severity, message));
  } catch (...) {
    // onnxruntime's logging must not see an exception; the line is lost.
  }
}

void appendCuda(Ort::SessionOptions& options, const Recipe& r, Options& out) {
  try {
    Ort::CUDAProviderOptions cuda;
    const std::string limit = std::to_string(r.cudaMemMiB << 20);
    cuda.Update({{"device_id", "0"},
                 {"arena_extend_strategy", "kSameAsRequested"},
                 {"gpu_mem_limit", limit},
                 {"cudnn_conv_use_max_workspace", "0"},
                 {"use_tf32", "0"}});
    options.AppendExecutionProvider_CUDA_V2(*cuda);
    log::linef(log::Level::Info, "[le_a2x] CUDA EP appended (%s, V2: no-max-workspace, mem<=%zuMiB)",
               r.cudaTag.c_str(), static_cast<size_t>(r.cudaMemMiB));
    out.cuda = true;
  } catch (const std::exception& e) {
    log::linef(log::Level::Warning, "[le_a2x] CUDA EP append failed (%s): %s -- falling back to CPU",
               r.cudaTag.c_str(), e.what());
  }
}

}  // namespace

Ort::Env& env() {
  static Ort::Env* e = new Ort::Env(ORT_LOGGING_LEVEL_INFO, "le", forward, nullptr);
  return *e;
}

std::string logLine(OrtLoggingLevel severity, const char* message) {
  std::string out = severity >= ORT_LOGGING_LEVEL_ERROR     ? "[onnxruntime] error: "
                    : severity >= ORT_LOGGING_LEVEL_WARNING ? "[onnxruntime] warning: "
                                                            : "[onnxruntime] info: ";
  const size_t head = out.size();
  out += message != nullptr ? message : "";
  for (size_t i = head; i < out.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    if (c < 0x20 || c == 0x7f) out[i] = ' ';
  }
  return out;
}

Options sessionOptions(const Recipe& r) {
  Options out;
  Ort::SessionOptions& o = out.options;
  o.SetIntraOpNumThreads(r.intraThreads < 1 ? pool::threads() : r.intraThreads);
  if (r.interThreads > 0) o.SetInterOpNumThreads(r.interThreads);
  if (r.level) o.SetGraphOptimizationLevel(*r.level);
  const bool spin = r.spin == Spin::IfAsked && env::startsWith("LE_ORT_SPIN", '1');
  if (r.spin != Spin::OrtDefault) o.AddConfigEntry("session.intra_op.allow_spinning", spin ? "1" : "0");
  if (r.noKleidiAi) o.AddConfigEntry("mlas.disable_kleidiai", "1");
  if (r.profileIfAsked) {
    if (const auto prefix = env::nonEmpty("LE_ORT_PROFILE")) {
      o.EnableProfiling(prefix->c_str());
      out.profiling = true;
    }
  }
  switch (r.provider) {
    case Provider::Cpu:
      break;
    case Provider::CoreML:
      o.AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"},
                                           {"MLComputeUnits", coremlComputeUnits(r.coremlUnit)},
                                           {"ModelCacheDirectory", r.coremlCacheDir}});
      break;
    case Provider::Cuda:
      appendCuda(o, r, out);
      break;
  }
  return out;
}

const char* coremlComputeUnits(const std::string& unit) {
  if (unit == "cpu") return "CPUOnly";
  if (unit == "gpu") return "CPUAndGPU";
  if (unit == "ane") return "CPUAndNeuralEngine";
  return "ALL";
}

std::string coremlCacheDir(const std::string& dir) {
  const std::string v = Ort::GetVersionString();
  return dir + "/.coreml_cache/ort" + (v.empty() ? std::string("unknown") : v);
}

}  // namespace le::ort
