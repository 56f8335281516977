// le-tessera-info on fixture bundles: a complete bundle is described and its
// donor sheet written; a refusal is one line on standard error, exit 1.
#include <gtest/gtest.h>

#include <string>

#include "tools/cli_run.h"

namespace le::test {
namespace {

Cmd info(const TempDir& tmp, const std::string& args) { return run(tmp, quote(LE_TESSERA_INFO_EXE) + " " + args); }

TEST(LeTesseraInfo, DescribesAFixtureBundleAndRefusesOneWithoutAMember) {
  TempDir t;
  ASSERT_EQ(runFixture({"tessera", "bundle", "--out", t / "b", "--donors", "10", "--no-identity"}), 0);
  const std::string args = quote(t / "b") + " --sheet " + quote(t / "sheet.png");
  const Cmd r = info(t, args);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const std::string& want :
       std::initializer_list<std::string>{"members: 4 of 4", "  head_weights  present  " + t / "b/tessera_head.v1.pt",
        "bank: 10 donors of 30x22, h264 rgb24 in mp4 (rgb24_frames)", "head: BlendHead(16), 4082 params",
        "serve: kshort 512, aperture_tol 0.3, cut 96, K 64, hysteresis 8, lookahead 8",
        "bank track: 10 donors decoded in ", "ok: the teeth borrow's members load"})
    EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
  EXPECT_EQ(readFile(t / "sheet.png").substr(1, 3), "PNG");

  std::remove((t / "b/tessera_head.v1.json").c_str());
  std::remove((t / "sheet.png").c_str());
  const Cmd refused = info(t, args);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(countOf(refused.err, "\n"), 1) << refused.err;
  EXPECT_EQ(refused.err.rfind("le-tessera-info: missing teeth member(s): head_config (" + t / "b/tessera_head.v1.json" +
                              ") — carries 3 of 4 and declares", 0), 0u) << refused.err;
  EXPECT_NE(refused.out.find("  head_config   missing  "), std::string::npos) << refused.out;
  EXPECT_FALSE(exists(t / "sheet.png"));
  const Cmd usage = info(t, "");
  EXPECT_EQ(std::make_pair(usage.status, countOf(usage.err, "\n")), std::make_pair(2, 1)) << usage.err;
  EXPECT_EQ(info(t, "--help").status, 0);
  EXPECT_EQ(info(t, quote(t / "b") + " --bogus").status, 2);
}

}  // namespace
}  // namespace le::test
