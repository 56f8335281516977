// le-live --teeth on a fixture bundle (crop 128) carrying the four teeth
// members and a fixture motion directory: every speech and ramp crop is
// borrowed, inline and on the borrow thread (whose stage the report shares
// out); a bundle without the members is refused before any frame.
#include <gtest/gtest.h>

#include <string>

#include "render/renderer_fixture.h"
#include "tools/cli_run.h"

namespace le::test {
namespace {

constexpr int kNT = 6;

TEST(LeLiveTeeth, BorrowsEverySpeechAndRampCropAndRefusesABundleWithoutTheMembers) {
  TempDir dir;
  const std::string bundle = dir / "b", bare = dir / "bare", motion = dir / "m", wav = dir / "speech.wav";
  writeSessionBundle(bundle, kNT, 160, 144, 128);
  ASSERT_EQ(std::system(("cp -r " + quote(bundle) + " " + quote(bare) + " && mkdir -p " + quote(motion) + " && cp " +
                         quote(bundle + "/xs_target.bin") + " " + quote(motion)).c_str()), 0);
  ASSERT_EQ(runFixture({"speech", "--out", wav, "--text", "Hello there."}), 0);
  ASSERT_EQ(runFixture({"tessera", "live", "--out", bundle}), 0);
  ASSERT_EQ(runFixture({"motion", "dir", "--out", motion}), 0);
  for (const char* pipe : {"0", "1"}) {
    SCOPED_TRACE(std::string("LE_UTT_PIPELINE_PASTE=") + pipe);
    TempDir tmp;
    const std::string mp4 = tmp / "out.mp4", rep = tmp / "report.txt";
    const Cmd r = run(tmp, std::string("LE_UTT_PIPELINE_PASTE=") + pipe + " " + quote(LE_LIVE_EXE) + " " +
                               quote(bundle) + " " + quote(wav) + " -o " + quote(mp4) + " --motion " +
                               quote(motion) + " --teeth --fast --end-marks --report " + quote(rep));
    ASSERT_EQ(r.status, 0) << r.err;
    auto m = readReport(rep);
    const int speech = std::stoi(m["speech_frames"]), ramp = std::stoi(m["ramp_frames"]);
    EXPECT_GT(speech, 10);
    EXPECT_EQ(ramp, 6);
    // Delivered speech and ramp crops, each borrowed once (the last ramp crop
    // is released by the idle frame after it).
    EXPECT_EQ(std::stoi(m["borrow_ok"]), speech + ramp);
    EXPECT_EQ(std::make_pair(m["borrow_failures"], m["borrow_status"]), std::make_pair(std::string("0"), std::string("ok")));
    EXPECT_NE(r.err.find("le-live: teeth: borrowed " + std::to_string(speech + ramp) + " crops, 0 failures\n"), std::string::npos)
        << r.err;
    if (*pipe == '1') {
      EXPECT_EQ(m["stage_report"].rfind("[le_utt-stage] pipe=1 jobsB=", 0), 0u) << m["stage_report"];
      EXPECT_EQ(m.count("stage_share_borrow"), 1u);
    }
  }
  TempDir tmp;
  const Cmd r = run(tmp, quote(LE_LIVE_EXE) + " " + quote(bare) + " " + quote(wav) + " -o " + quote(tmp / "out.mp4") +
                             " --motion " + quote(motion) + " --teeth --fast");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("--teeth: cannot load the teeth members: "), std::string::npos) << r.err;
  EXPECT_FALSE(exists(tmp / "out.mp4"));
}

}  // namespace
}  // namespace le::test
