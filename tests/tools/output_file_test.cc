// Outputs go through a temporary name: an existing file survives a run that
// never commits, and a path that cannot be written is refused before any work.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <string>

#include "testkit/testkit.h"
#include "tools/output_file.h"

namespace le::test {
namespace {

long entries(const std::string& dir) { return std::distance(std::filesystem::directory_iterator(dir), {}); }

TEST(OutputFile, AnExistingFileSurvivesUntilTheNewOneIsCommitted) {
  TempDir tmp;
  const std::string path = tmp / "out.mp4";
  writeFile(path, "old");
  {
    tool::OutputFile f(path, "video");
    writeFile(f.writePath(), "half");
  }  // a failed run: never committed
  EXPECT_EQ(readFile(path), "old");
  EXPECT_EQ(entries(tmp.path()), 1) << "the temporary file is removed";
  {
    tool::OutputFile f(path, "video");
    writeFile(f.writePath(), "new");
    f.commit();
  }
  EXPECT_EQ(readFile(path), "new");
  EXPECT_EQ(entries(tmp.path()), 1);
  tool::writeFileAtomically(tmp / "report.txt", "frames: 3\n", "report");
  EXPECT_EQ(readFile(tmp / "report.txt"), "frames: 3\n");
}

TEST(OutputFile, PathsThatCannotBeWrittenAreRefusedWithTheReason) {
  TempDir tmp;
  writeFile(tmp / "file", "x");
  const struct { std::string path, reason; } cases[] = {
      {tmp / "missing/out.mp4", "does not exist"}, {tmp / "file/out.mp4", "is not a directory"},
      {tmp.path(), "it is a directory"}, {tmp / "dir/", "not a file name"}, {"", "not a file name"}};
  for (const auto& c : cases) {
    const std::string m = errorOf([&] { tool::checkOutputPath(c.path, "report"); });
    EXPECT_NE(m.find("cannot write report " + c.path), std::string::npos) << m;
    EXPECT_NE(m.find(c.reason), std::string::npos) << m;
  }
  // Standard output is never a file named "-".
  tool::OutputFile out("-", "video");
  EXPECT_TRUE(out.toStdout());
  EXPECT_EQ(out.writePath(), "-");
  out.commit();
  EXPECT_NO_THROW(tool::checkOutputPath(tmp / "new.mp4", "video"));
}

TEST(OutputFile, AStillsDirectoryExistsOrIsMadeInAWritableParent) {
  TempDir tmp;
  for (const std::string& dir : {tmp / "stills/", tmp / "stills", tmp / "new//"}) {
    EXPECT_NO_THROW(tool::makeOutputDir(dir, "stills directory")) << dir;
    EXPECT_EQ(entries(dir), 0) << dir;
  }
  writeFile(tmp / "file", "x");
  EXPECT_THROW(tool::makeOutputDir(tmp / "file", "stills directory"), std::runtime_error);
  EXPECT_THROW(tool::makeOutputDir(tmp / "missing/stills/", "stills directory"), std::runtime_error);
}

}  // namespace
}  // namespace le::test
