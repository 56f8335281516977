// Rebuilding a director-sized model against the floor of its work: one copy
// of the same bytes into a fresh buffer. A rebuild walks every graph field and
// copies what it keeps, so it should stay within a small factor of memcpy.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/render/onnx_wire.h"

namespace {

// Appending, not operator+: GCC 12 misreports a prefix + to_string at -O3.
std::string nm(const char* prefix, int i) {
  std::string s(prefix);
  s += std::to_string(i);
  return s;
}

// 4000 nodes with attributes and 400 initializers of 32 KiB: about 13 MiB,
// most of it weights, the shape of a real director graph.
le::GsBytes makeModel() {
  le::GsBytes graph;
  std::vector<float> w(8192, 0.5f);
  for (int i = 0; i < 400; ++i)
    le::hcInit(graph, nm("w", i), 1, {32, 16, 4, 4}, w.data(), w.size() * 4);
  const int64_t pads[] = {1, 1, 1, 1}, ks[] = {3, 3};
  for (int i = 0; i < 4000; ++i) {
    le::GsBytes attrs;
    le::hcAttrIs(attrs, "pads", pads, 4);
    le::hcAttrIs(attrs, "kernel_shape", ks, 2);
    le::hcAttrI(attrs, "group", 1);
    le::hcAttrS(attrs, "auto_pad", "NOTSET");
    le::hcNode(graph, "Conv", {nm("t", i), nm("w", i % 400), "b"},
               nm("t", i + 1), nm("/n", i), attrs);
  }
  const int64_t dims[] = {1, 3, 512, 512};
  le::gsPutTensorValueInfo(graph, 11, "P_rgb", dims, 4);
  le::gsPutTensorValueInfo(graph, 12, "t4000", dims, 4);
  le::GsBytes model;
  le::gsPutBytes(model, 2, std::string_view("bench"));
  le::gsPutBytes(model, 7, graph.data(), graph.size());
  return model;
}

const le::GsBytes& model() {
  static const le::GsBytes m = makeModel();
  return m;
}

void BM_RebuildUnedited(benchmark::State& st) {
  le::GsBytes out;
  for (auto _ : st) {
    le::gsRebuild(model(), {}, out);
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * model().size()));
}
BENCHMARK(BM_RebuildUnedited);

void BM_RebuildEdited(benchmark::State& st) {
  le::GsGraphEdit e;
  for (int i = 0; i < 4000; ++i) e.dropNode.push_back(i % 2 == 1);
  e.dropOutputs = true;
  e.valueInfo = le::GsValueInfo{"t3999", {}, 4, 12};
  le::GsBytes out;
  for (auto _ : st) {
    le::gsRebuild(model(), e, out);
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * model().size()));
}
BENCHMARK(BM_RebuildEdited);

// The floor: a fresh buffer of the model's size filled by one memcpy (the
// rebuild also writes into a fresh buffer per call).
void BM_MemcpyModel(benchmark::State& st) {
  for (auto _ : st) {
    le::GsBytes out(model().size());
    benchmark::DoNotOptimize(out.data());
    std::memcpy(out.data(), model().data(), model().size());
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * model().size()));
}
BENCHMARK(BM_MemcpyModel);

}  // namespace

int main(int argc, char** argv) {
  return le::bench::runAndReport(argc, argv, {{"BM_RebuildUnedited", "BM_MemcpyModel"},
                                              {"BM_RebuildEdited", "BM_MemcpyModel"}});
}
