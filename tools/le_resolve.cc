// le-resolve: resolves a bundle (directory or IMX container) the way the
// library does and prints its directory and members with their sizes.
//   le-resolve BUNDLE [MEMBER ...]
// Without members, the usual members of an identity bundle are looked up.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "le/le.h"

namespace {

const char* const kUsualMembers[] = {
    "manifest.json", "M.f32",        "mask_512.u8",  "xs_target.bin", "drive/xs.f32",
    "drive/xd.f32",  "drive/si.i32", "pooled64.f16", "P.f16",         "P_hevc.mov",
    "fs_red.f16",    "a2x_enc_stream.onnx", "a2x_dec.onnx",
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help")) {
    std::fprintf(stderr, "usage: %s BUNDLE [MEMBER ...]\n", argv[0]);
    return argc < 2 ? 2 : 0;
  }
  std::vector<char> buf(1 << 16);
  if (le_bundle_resolve_handle(argv[1], buf.data(), buf.size()) != 1) {
    std::fprintf(stderr, "le-resolve: %s\n", le_last_error());
    return 1;
  }
  std::printf("bundle %s\n", buf.data());

  std::vector<const char*> names(argv + 2, argv + argc);
  const bool usual = names.empty();
  if (usual) names.assign(std::begin(kUsualMembers), std::end(kUsualMembers));
  int found = 0, missing = 0;
  for (const char* name : names) {
    const int rc = le_bundle_resolve_member(argv[1], name, buf.data(), buf.size());
    if (rc < 0) {
      std::fprintf(stderr, "le-resolve: %s\n", le_last_error());
      return 1;
    }
    if (rc == 0) {
      ++missing;
      if (!usual) std::printf("  %-22s missing (%s)\n", name, buf.data());
      continue;
    }
    struct stat st;
    const long long size = ::stat(buf.data(), &st) == 0 ? (long long)st.st_size : -1;
    std::printf("  %-22s %12lld bytes  %s\n", name, size, buf.data());
    ++found;
  }
  std::printf("%d member(s) found", found);
  if (missing) std::printf(", %d %s", missing, usual ? "not in this bundle" : "missing");
  std::printf("\n");
  return !usual && missing ? 1 : 0;
}
