#include "speech_synth.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "live_request.h"
#include "wav_reader.h"

extern char** environ;

namespace le::tool {

ScratchFile::ScratchFile(const char* stem) {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/" + stem + "-XXXXXX";
  fd_ = ::mkstemp(pattern.data());
  if (fd_ < 0) throw std::runtime_error("cannot make a scratch file: " + std::string(std::strerror(errno)));
  path_ = pattern;
}

ScratchFile::~ScratchFile() {
  ::close(fd_);
  ::unlink(path_.c_str());
}

void ScratchFile::write(std::string_view bytes) {
  if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0)
    throw std::runtime_error("cannot reset the scratch file");
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("cannot write the scratch file: " + std::string(std::strerror(errno)));
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

namespace {

constexpr auto kSynthLimit = std::chrono::seconds(30);

// Starts argv[0] with standard streams on /dev/null; its pid.
pid_t spawnQuiet(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const int fd : {0, 1, 2})
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  pid_t pid = -1;
  const int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(err));
  return pid;
}

// The child's exit status; killed past the limit.
int waitChild(pid_t pid, const std::string& name) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      throw std::runtime_error(name + " ended by signal " + std::to_string(WTERMSIG(status)));
    }
    if (r < 0 && errno != EINTR) throw std::runtime_error("waiting for " + name + ": " + std::strerror(errno));
    if (std::chrono::steady_clock::now() - start > kSynthLimit) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      throw std::runtime_error(name + " took longer than 30 s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

std::vector<int16_t> synthesiseSpeech(const std::string& program, const std::string& text) {
  ScratchFile wav("le-live-speak");
  const pid_t pid = spawnQuiet(speakArgs(program, text, wav.path()));
  if (const int status = waitChild(pid, program); status != 0)
    throw std::runtime_error(program + " failed (exit status " + std::to_string(status) + ")");
  std::vector<int16_t> speech = readSpeech(wav.path());
  if (speech.empty()) throw std::runtime_error(program + " produced no speech");
  return speech;
}

std::vector<int16_t> decodeWavBody(std::string_view body) {
  if (!isWavBody(body)) throw std::runtime_error("not a WAV file (no RIFF/WAVE header)");
  ScratchFile wav("le-live-audio");
  wav.write(body);
  std::vector<int16_t> speech;
  try {
    speech = readSpeech(wav.path());
  } catch (const std::exception& e) {
    // The reader names the scratch file; the viewer knows it as the upload.
    std::string why = e.what();
    if (const size_t at = why.find(wav.path()); at != std::string::npos) why.replace(at, wav.path().size(), "upload");
    throw std::runtime_error(why);
  }
  if (speech.empty()) throw std::runtime_error("the WAV holds no samples");
  return speech;
}

}  // namespace le::tool
