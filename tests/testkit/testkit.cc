#include "testkit/testkit.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "le/bundle/fsutil.h"

namespace le::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/le_test.XXXXXX";
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed for " + tmpl);
  path_ = tmpl;
}

TempDir::~TempDir() { le::fs::rmTree(path_); }

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* v = std::getenv(name)) old_ = v;
  if (value) ::setenv(name, value->c_str(), 1);
  else ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
  else ::unsetenv(name_.c_str());
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), std::streamsize(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::vector<float> readF32(const std::string& path) {
  const std::string b = readFile(path);
  std::vector<float> v(b.size() / 4);
  std::memcpy(v.data(), b.data(), v.size() * 4);
  return v;
}

void writeF32(const std::string& path, const std::vector<float>& v) {
  writeFile(path, bytesOf(v));
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d))
      if (std::string n = e->d_name; n != "." && n != "..") names.push_back(n);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {
void put16(std::string& s, uint16_t v) {
  s += char(v & 0xff);
  s += char(v >> 8);
}
void put64(std::string& s, uint64_t v) {
  for (int i = 0; i < 8; ++i) s += char((v >> (8 * i)) & 0xff);
}
std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}
}  // namespace

std::string imxBytes(const std::vector<ImxEntry>& entries, uint16_t version) {
  std::string head("IMX\0", 4);
  put16(head, version);
  put16(head, uint16_t(entries.size()));
  uint64_t off = 8;
  for (const ImxEntry& e : entries) off += 2 + e.name.size() + 16;
  std::string body;
  for (const ImxEntry& e : entries) {
    put16(head, uint16_t(e.name.size()));
    head += e.name;
    put64(head, e.offset.value_or(off + body.size()));
    put64(head, e.size.value_or(e.payload.size()));
    body += e.payload;
  }
  return head + body;
}

int runFixture(const std::vector<std::string>& args) {
  std::string cmd = "PYTHONPATH=" + quoted(LE_FIXTURES_DIR) + " " LE_PYTHON " -m lefix";
  for (const std::string& a : args) cmd += " " + quoted(a);
  const int st = std::system(cmd.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

int countOf(const std::string& hay, const std::string& needle) {
  int n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size()))
    ++n;
  return n;
}

std::vector<std::string> threadNames() {
  std::vector<std::string> names;
  for (const std::string& task : listDir("/proc/self/task")) {
    std::ifstream comm("/proc/self/task/" + task + "/comm");
    std::string name;
    if (std::getline(comm, name)) names.push_back(name);  // a thread may end meanwhile
  }
  return names;
}

void untilAsleep(const std::atomic<pid_t>& tid) {
  // Bounded: a thread that never starts or never blocks fails the test here
  // instead of hanging it until the runner's timeout.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  const auto waiting = [&] {
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the thread never went to sleep");
    std::this_thread::yield();
  };
  while (tid == 0) waiting();
  // The state follows the command name's closing parenthesis, which the name
  // itself may contain.
  for (;;) {
    const std::string stat = readFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S') return;
    waiting();
  }
}

}  // namespace le::test
