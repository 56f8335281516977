// Starts onnxruntime and nothing else: loads the library and creates its
// environment. scripts/check-arm64.sh runs it first on an emulated processor
// and leaves out the executables that load onnxruntime when it dies.
#include <onnxruntime_c_api.h>

#include <cstdio>

int main() {
  const OrtApi* api = OrtGetApiBase()->GetApi(ORT_API_VERSION);
  OrtEnv* env = nullptr;
  if (api == nullptr || api->CreateEnv(ORT_LOGGING_LEVEL_ERROR, "probe", &env) != nullptr) {
    std::puts("onnxruntime loaded but refused to create an environment");
    return 1;
  }
  api->ReleaseEnv(env);
  std::printf("onnxruntime %s starts\n", OrtGetApiBase()->GetVersionString());
  return 0;
}
