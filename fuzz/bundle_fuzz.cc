// A whole bundle directory through le_create and one render. The input is a
// list of edits applied to a small valid bundle (manifest, raw members, JPEG
// driver frames, a director model): replace, cut, grow or flip a member, turn
// it into a link (out of the bundle, to a device, to another member), a FIFO
// or a directory, delete it, or add manifest keys. Whatever the edits, the
// library must answer, not hang, and never read outside the bundle.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_scratch.h"
#include "le/bundle/fsutil.h"
#include "le/le.h"

// onnxruntime 1.29 keeps 14 bytes from its first environment until exit.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libonnxruntime.so\n";
}

namespace {

using Members = std::map<std::string, std::string>;

void writeFile(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!::write(fd, bytes.data(), bytes.size());
  ::close(fd);
}

// The process's scratch directory, with a file beside (not in) the bundle
// that no member may reach.
const std::string& scratch() {
  return le::fuzz::scratchDir("bundle_fuzz", [](const std::string& t) {
    le::fs::mkdirs(t + "/outside");
    writeFile(t + "/outside/secret", "outside the bundle");
  });
}

void walk(const std::string& root, const std::string& rel, Members& out) {
  const std::string dir = rel.empty() ? root : root + "/" + rel;
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
  if (!d) return;
  while (const dirent* e = ::readdir(d.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string r = rel.empty() ? name : rel + "/" + name;
    if (le::fs::isDirectory(root + "/" + r)) walk(root, r, out);
    else out[r] = le::fuzz::readFile(root + "/" + r);
  }
}

// The valid bundle every input edits: written once per process by the
// fixture generator, or taken from $LE_FUZZ_BUNDLE_SEED.
const Members& seed() {
  static const Members m = [] {
    std::string dir;
    if (const char* given = std::getenv("LE_FUZZ_BUNDLE_SEED"); given && *given) {
      dir = given;
    } else {
      dir = scratch() + "/seed";
      le::fuzz::runFixture("bundle --out " + dir + " --nt 2 --frames 3 --crop 16 --size 32 24 --identity pooled,P "
                           "--drive-old-names --legacy-names");
      le::fuzz::runFixture("video jpgdir --out " + dir + "/target_frames --nt 2 --size 32 24");
      le::fuzz::runFixture("director --variant plain --crop 16 --out " + dir + "/model_plain.onnx");
    }
    Members out;
    walk(dir, "", out);
    if (out.empty()) std::abort();
    return out;
  }();
  return m;
}

enum class Kind { File, Link, Fifo, Dir, Gone };
struct Entry {
  Kind kind = Kind::File;
  std::string bytes;  // contents, or the link target
};

// Applies the input's edits, 4 header bytes each (op, member, length).
std::map<std::string, Entry> edited(const uint8_t* data, size_t size) {
  std::map<std::string, Entry> b;
  std::vector<std::string> names;
  for (const auto& [name, bytes] : seed()) {
    b[name] = Entry{Kind::File, bytes};
    names.push_back(name);
  }
  size_t at = 0;
  while (size - at >= 4) {
    const uint8_t op = data[at] % 9;
    Entry& e = b[names[data[at + 1] % names.size()]];
    size_t len = size_t(data[at + 2]) | size_t(data[at + 3]) << 8;
    at += 4;
    if (len > size - at) len = size - at;
    const std::string payload(reinterpret_cast<const char*>(data + at), len);
    at += len;
    switch (op) {
      case 0: e = Entry{Kind::File, payload}; break;
      case 1: e.bytes.resize(e.bytes.empty() ? 0 : len % e.bytes.size()); break;
      case 2: e.bytes += payload; break;
      case 3:
        for (size_t i = 0; i + 2 < payload.size() && !e.bytes.empty(); i += 3)
          e.bytes[(uint8_t(payload[i]) | uint8_t(payload[i + 1]) << 8) % e.bytes.size()] ^= payload[i + 2];
        break;
      case 4: {
        static const char* targets[] = {"/dev/zero", "../outside/secret", "../../etc/hostname",
                                        "manifest.json", "."};
        e = Entry{Kind::Link, len > 0 && payload[0] & 1 ? payload : targets[len % 5]};
        break;
      }
      case 5: e = Entry{Kind::Fifo, {}}; break;
      case 6: e = Entry{Kind::Gone, {}}; break;
      case 7: e = Entry{Kind::Dir, {}}; break;
      case 8: {  // keys added before the manifest's closing brace
        std::string& m = b["manifest.json"].bytes;
        const size_t close = m.rfind('}');
        if (close != std::string::npos) m.insert(close, ", " + payload);
        break;
      }
    }
  }
  return b;
}

void materialise(const std::string& dir, const std::map<std::string, Entry>& b) {
  le::fs::rmTree(dir);
  le::fs::mkdirs(dir);
  for (const auto& [name, e] : b) {
    const std::string path = dir + "/" + name;
    le::fs::mkdirs(le::fs::dirName(path));
    switch (e.kind) {
      case Kind::File: writeFile(path, e.bytes); break;
      case Kind::Link: (void)!::symlink(e.bytes.c_str(), path.c_str()); break;
      case Kind::Fifo: ::mkfifo(path.c_str(), 0644); break;
      case Kind::Dir: le::fs::mkdirs(path); break;
      case Kind::Gone: break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string secret = scratch() + "/outside/secret";
  const std::string dir = scratch() + "/b";  // "../outside/secret" from a member reaches the secret
  materialise(dir, edited(data, size));

  le_log_set([](int, const char*, void*) {}, nullptr);
  if (le_ctx* ctx = le_create(dir.c_str(), "plain", 1, nullptr)) {
    (void)le_target_frame(ctx, 0);
    if (le_drive_frames(ctx) > 0) {
      std::vector<uint8_t> rgba(size_t(le_width(ctx)) * size_t(le_height(ctx)) * 4);
      (void)le_render_drive_rgba(ctx, 0, rgba.data(), rgba.size());
    }
    le_destroy(ctx);
  }
  // Nothing outside the bundle was touched.
  if (le::fuzz::readFile(secret) != "outside the bundle") std::abort();
  return 0;
}
