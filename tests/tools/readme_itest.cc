// Every sh block of the README runs as written, from a scratch copy of the
// repository root whose build/ holds this build's files and build/demo/ the
// demo identity and its speech, the way `make demo` leaves them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tools/cli_run.h"
#include "tools/demo_fixture.h"

namespace le::test {
namespace {

// The bodies of the blocks fenced ```sh, in order.
std::vector<std::string> shellBlocks(const std::string& markdown) {
  std::vector<std::string> blocks;
  size_t at = 0;
  while ((at = markdown.find("\n```sh\n", at)) != std::string::npos) {
    const size_t body = at + 7, end = markdown.find("\n```\n", body);
    if (end == std::string::npos) break;
    blocks.push_back(markdown.substr(body, end - body + 1));
    at = end;
  }
  return blocks;
}

// build/ as links to this build's entries, with a demo/ of its own.
bool scratchRoot(const TempDir& root) {
  const std::string build = root / "build";
  if (::mkdir(build.c_str(), 0777) != 0 || ::mkdir((build + "/demo").c_str(), 0777) != 0) return false;
  for (const auto& e : std::filesystem::directory_iterator(LE_BINARY_DIR))
    if (e.path().filename() != "demo" && ::symlink(e.path().c_str(), (build + "/" + e.path().filename().string()).c_str()) != 0)
      return false;
  for (const char* dir : {"tests", "scripts"})
    if (::symlink((std::string(LE_SOURCE_DIR) + "/" + dir).c_str(), (root / dir).c_str()) != 0) return false;
  return ::symlink(demoContainer().c_str(), (build + "/demo/demo.imx").c_str()) == 0 &&
         runFixture({"speech", "--out", build + "/demo/speech.wav"}) == 0;
}

TEST(Readme, EveryShellBlockRunsAsWrittenOnTheDemoIdentity) {
  ASSERT_FALSE(demoContainer().empty()) << "lefix demo failed";
  const std::vector<std::string> blocks = shellBlocks(readFile(std::string(LE_SOURCE_DIR) + "/README.md"));
  ASSERT_GE(blocks.size(), 4u);
  TempDir root;
  ASSERT_TRUE(scratchRoot(root));
  for (const std::string& block : blocks) {
    writeFile(root / "block.sh", block);
    const Cmd r = run(root, "cd " + quote(root.path()) + " && bash -euo pipefail block.sh");
    EXPECT_EQ(r.status, 0) << block << r.err;
  }
  // What the blocks promise to leave behind.
  for (const char* out : {"demo.mp4", "sheet.png", "a.mp4", "stills/frame_000020.png", "driven.mp4", "spoken.mp4",
                          "live.mp4", "run.txt", "live.mkv", "example"})
    EXPECT_TRUE(exists(root / out)) << out;
  EXPECT_FALSE(exists(root / "stills/frame_000025.png"));
}

}  // namespace
}  // namespace le::test
