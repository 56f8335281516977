#include "cli.h"

#include <dirent.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <vector>

namespace le::tool {

int parseInt(std::string_view text, const char* option, int lo, int hi) {
  int v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi)
    throw UsageError(std::string(option) + " wants a whole number in [" + std::to_string(lo) + ", " +
                     std::to_string(hi) + "], got '" + std::string(text) + "'");
  return v;
}

bool isRoleKey(const std::string& key) { return key == "render" || key.rfind("b24_", 0) == 0; }

std::string onlyModelKey(const std::string& dir) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) throw std::runtime_error("cannot list " + dir);
  std::vector<std::string> keys;
  while (const dirent* e = readdir(d.get())) {
    const std::string n = e->d_name;
    if (n.size() > 11 && n.rfind("model_", 0) == 0 && n.compare(n.size() - 5, 5, ".onnx") == 0 &&
        !isRoleKey(n.substr(6, n.size() - 11)))
      keys.push_back(n.substr(6, n.size() - 11));
  }
  std::sort(keys.begin(), keys.end());
  if (keys.size() == 1) return keys[0];
  if (keys.empty()) throw std::runtime_error("no director model_<key>.onnx in " + dir + ": name one with --model");
  std::string list;
  for (const auto& k : keys) list += (list.empty() ? "" : ", ") + k;
  throw std::runtime_error("several director models in " + dir + " (" + list + "): choose one with --model");
}

}  // namespace le::tool
