// le-resolve: resolves a bundle (directory or IMX container) the way the
// library does and prints its directory and members with their sizes.
//   le-resolve BUNDLE                every member a bundle may carry, by role,
//                                    the missing ones named as missing
//   le-resolve BUNDLE MEMBER ...     those members (exit 1 when one is missing)
//   le-resolve BUNDLE --path MEMBER  the member's path alone (exit 1 when missing)
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "le/le.h"

namespace {

struct Group {
  const char* title;
  std::vector<const char*> members;
};

// What a bundle may carry; the director models are listed from the directory.
const Group kGroups[] = {
    {"identity", {"manifest.json", "M.f32", "mask_512.u8", "xs_target.bin", "drive/xs.f32", "drive/xd.f32",
                  "drive/si.i32", "pooled64.f16", "P.f16", "P_hevc.mov", "fs_red.f16", "lip_template.v1.json"}},
    {"driver video", {"target_frames.mp4", "target_frames"}},
    {"live audio models (le-live): the streaming engine",
     {"a2x_enc_stream.onnx", "a2x_dec.onnx", "a2x_meta.json", "a2x_pos.f32", "a2x_norm.f32", "w2v/w2v.onnx",
      "w2v/audio_encoder_fp16_window_trunk.onnx", "w2v/audio_encoder_fp16_window_head.onnx"}},
    {"live audio models (le-live): the motion generator, for bundles without the streaming engine",
     {"hubert_student.onnx", "lmdm.onnx", "stitch.onnx"}},
    {"whole-clip audio models (le-render --audio)", {"frontend.onnx", "fca_stream.onnx", "model_render.onnx"}},
};

const char kUsage[] =
    "usage: le-resolve BUNDLE [MEMBER ...]\n"
    "       le-resolve BUNDLE --path MEMBER\n"
    "\n"
    "Resolves a bundle (a directory or an IMX container, unwrapped on first use) the\n"
    "way le_core does. Without members it lists everything a bundle may carry, by\n"
    "role, with sizes and paths, and names what this bundle does not carry; with\n"
    "members it prints those (exit status 1 when one is missing). Older member names\n"
    "(such as M.f32) are accepted.\n";

std::string roleOf(const std::string& key, const std::string& defaultKey) {
  if (key == "render") return "whole-clip director (le-render --audio)";
  if (key.rfind("b24_", 0) == 0) return "chunk director of the live pipeline";
  return key == defaultKey ? "director (default --model)" : "director";
}

// model_<key>.onnx keys in the directory, sorted.
std::vector<std::string> modelKeys(const std::string& dir) {
  std::vector<std::string> keys;
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  while (const dirent* e = d ? readdir(d.get()) : nullptr) {
    const std::string n = e->d_name;
    if (n.size() > 11 && n.rfind("model_", 0) == 0 && n.compare(n.size() - 5, 5, ".onnx") == 0)
      keys.push_back(n.substr(6, n.size() - 11));
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

// 1 found, 0 missing, -1 failure (message printed).
int show(const char* bundle, const char* name, const std::string& note, bool namedMissing) {
  std::vector<char> buf(1 << 16);
  const int rc = le_bundle_resolve_member(bundle, name, buf.data(), buf.size());
  if (rc < 0) {
    std::fprintf(stderr, "le-resolve: %s\n", le_last_error());
    return -1;
  }
  if (rc == 0) {
    std::printf("  %-42s missing%s\n", name, namedMissing ? (" (" + std::string(buf.data()) + ")").c_str() : "");
    return 0;
  }
  struct stat st {};
  const bool dir = ::stat(buf.data(), &st) == 0 && S_ISDIR(st.st_mode);
  if (dir) std::printf("  %-42s    directory  %s", name, buf.data());
  else std::printf("  %-42s %12lld bytes  %s", name, (long long)st.st_size, buf.data());
  std::printf("%s\n", note.empty() ? "" : ("  [" + note + "]").c_str());
  return 1;
}

int listAll(const char* bundle, const std::string& dir) {
  int found = 0, missing = 0;
  auto count = [&](int rc) {
    if (rc < 0) return false;
    (rc ? found : missing) += 1;
    return true;
  };
  std::string defaultKey;
  try {
    defaultKey = le::tool::onlyModelKey(dir);
  } catch (const std::exception&) {
  }
  std::printf("director models (--model KEY names model_KEY.onnx)\n");
  const std::vector<std::string> keys = modelKeys(dir);
  if (keys.empty()) std::printf("  none: no model_<key>.onnx in this bundle\n");
  for (const std::string& k : keys)
    if (!count(show(bundle, ("model_" + k + ".onnx").c_str(), "key " + k + ": " + roleOf(k, defaultKey), false)))
      return 1;
  if (std::find(keys.begin(), keys.end(), "b24_fp32") == keys.end())
    std::printf("  %-42s missing (le-live renders frame by frame)\n", "model_b24_fp32.onnx");
  for (const Group& g : kGroups) {
    std::printf("%s\n", g.title);
    for (const char* m : g.members)
      if (std::strcmp(m, "model_render.onnx") != 0 || std::find(keys.begin(), keys.end(), "render") == keys.end())
        if (!count(show(bundle, m, "", false))) return 1;
  }
  std::printf("%d member(s) found, %d not in this bundle\n", found, missing);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && !std::strcmp(argv[1], "--version")) {
    std::printf("%s\n", le::tool::versionLine("le-resolve").c_str());
    return 0;
  }
  if (argc < 2 || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help")) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::vector<char> buf(1 << 16);
  if (le_bundle_resolve_handle(argv[1], buf.data(), buf.size()) != 1) {
    std::fprintf(stderr, "le-resolve: %s\n", le_last_error());
    return 1;
  }
  const std::string dir = buf.data();
  if (argc == 4 && !std::strcmp(argv[2], "--path")) {
    const int rc = le_bundle_resolve_member(argv[1], argv[3], buf.data(), buf.size());
    if (rc < 0) std::fprintf(stderr, "le-resolve: %s\n", le_last_error());
    else if (rc == 0) std::fprintf(stderr, "le-resolve: %s: no such member in %s\n", argv[3], dir.c_str());
    else std::printf("%s\n", buf.data());
    return rc == 1 ? 0 : 1;
  }
  std::printf("bundle %s\n", dir.c_str());
  if (argc == 2) return listAll(argv[1], dir);
  int found = 0, missing = 0;
  for (int i = 2; i < argc; ++i) {
    const int rc = show(argv[1], argv[i], "", true);
    if (rc < 0) return 1;
    (rc ? found : missing) += 1;
  }
  std::printf("%d member(s) found", found);
  if (missing) std::printf(", %d missing", missing);
  std::printf("\n");
  return missing ? 1 : 0;
}
