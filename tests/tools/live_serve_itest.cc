// le-live --serve on the command line: what it refuses before starting
// anything (exit status 2, one line), and an address it cannot listen on
// (exit status 1). The page itself is tested in a browser
// (live_page_itest.py).
#include <gtest/gtest.h>

#include <string>

#include "tools/cli_run.h"
#include "tools/demo_fixture.h"

namespace le::test {
namespace {

#ifdef LE_LIVE_SERVE
TEST(LeLiveServe, RefusesBadCommandLinesWithOneLine) {
  TempDir tmp;
  const std::string exe = quote(LE_LIVE_EXE);
  const struct {
    std::string args, error;
  } cases[] = {
      {"--serve", "--serve takes one BUNDLE and no AUDIO"},
      {"--serve 127.0.0.1:8080", "--serve takes one BUNDLE and no AUDIO"},
      {"--serve b.imx speech.wav", "--serve takes one BUNDLE and no AUDIO"},
      {"--serve b.imx -o x.mp4", "--serve writes no video; leave out -o"},
      {"--serve 127.0.0.1:65536 b.imx", "--serve 127.0.0.1:65536: the port must be 0 .. 65535"},
      {"--serve :8080 b.imx", "--serve takes one BUNDLE and no AUDIO"},  // not an address: a second path
      {"--serve 'my host:80' b.imx", "--serve my host:80: not an address"},
  };
  for (const auto& c : cases) {
    const Cmd r = run(tmp, exe + " " + c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_EQ(r.err, "le-live: " + c.error + " (le-live --help for usage)\n") << c.args;
    EXPECT_EQ(r.out, "") << c.args;
  }
  EXPECT_NE(run(tmp, exe + " --help").out.find("--serve [ADDRESS:PORT]"), std::string::npos);
}

TEST(LeLiveServe, AnAddressOfNoInterfaceHereFailsToListen) {
  ASSERT_FALSE(demoContainer().empty());
  TempDir tmp;
  // 192.0.2.1 is reserved for documentation: no interface has it.
  const Cmd r = run(tmp, quote(LE_LIVE_EXE) + " --serve 192.0.2.1:8080 " + quote(demoContainer()));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("le-live: cannot listen on 192.0.2.1:8080"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("serving"), std::string::npos) << r.out;
}
#endif

}  // namespace
}  // namespace le::test
