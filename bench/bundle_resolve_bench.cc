// Resolving an already unwrapped container: the library call against the
// floor of its work done by hand (lstat of the container, stat of the
// directory, one read of the marker).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "benchkit.h"
#include "le/bundle/fsutil.h"
#include "le/le.h"

namespace {

std::string gDir;

void writeContainer(const std::string& path) {
  // Two members: "m" (3 bytes) and "n" (0 bytes).
  const unsigned char bytes[] = {'I', 'M', 'X', 0, 2, 0, 2, 0,  //
                                 1, 0, 'm', 44, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0,
                                 1, 0, 'n', 47, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 'a', 'b', 'c'};
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes, 1, sizeof bytes, f);
  std::fclose(f);
}

void BM_ResolveUnwrapped(benchmark::State& st) {
  const std::string C = gDir + "/id.imx";
  char out[4096];
  for (auto _ : st) benchmark::DoNotOptimize(le_bundle_resolve_handle(C.c_str(), out, sizeof out));
}
BENCHMARK(BM_ResolveUnwrapped);

void BM_StatStatRead(benchmark::State& st) {
  const std::string C = gDir + "/id.imx", D = gDir + "/id.lebundle";
  const std::string M = D + ".imx_unwrapped";
  char buf[512];
  for (auto _ : st) {
    struct stat s1, s2;
    ::lstat(C.c_str(), &s1);
    ::stat(D.c_str(), &s2);
    const int fd = ::open(M.c_str(), O_RDONLY);
    benchmark::DoNotOptimize(::read(fd, buf, sizeof buf));
    ::close(fd);
  }
}
BENCHMARK(BM_StatStatRead);

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/le_bench.XXXXXX";
  gDir = ::mkdtemp(tmpl);
  writeContainer(gDir + "/id.imx");
  char out[4096];
  if (le_bundle_resolve_handle((gDir + "/id.imx").c_str(), out, sizeof out) != 1) {
    std::fprintf(stderr, "setup failed: %s\n", le_last_error());
    return 1;
  }
  const int rc = le::bench::runAndReport(argc, argv, {{"BM_ResolveUnwrapped", "BM_StatStatRead"}});
  le::fs::rmTree(gDir);
  return rc;
}
