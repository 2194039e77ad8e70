// The station's command line: our options with two dashes, Qt's with one, GNU exit codes.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "app/CommandLine.h"
#include "platform/Host.h"
#include "remote/Password.h"

namespace {

app::TCommandLine Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "kanalo");
  return app::ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, OptionsAndTheirEffects) {
  struct Case {
    std::vector<const char*> args;
    int exit;
    bool simulator;
    const char* outStart;
  } cases[] = {
      {{}, -1, false, ""},
      {{"--simulator"}, -1, true, ""},
      {{"-platform", "offscreen", "--simulator"}, -1, true, ""},  // Qt's options pass through
      {{"-style", "fusion"}, -1, false, ""},
      {{"--help"}, 0, false, "Usage: kanalo "},
      {{"--simulator", "--version"}, 0, true, "kanalo "},
      {{"--", "--bogus"}, -1, false, ""},  // after "--" nothing is ours
      {{"--bogus"}, 2, false, ""},
      {{"--simulator=yes"}, 2, false, ""},
  };
  for (const auto& c : cases) {
    const auto r = Parse(c.args);
    const std::string what = c.args.empty() ? "(none)" : c.args.back();
    EXPECT_EQ(r.exitCode, c.exit) << what;
    EXPECT_EQ(r.simulator, c.simulator) << what;
    EXPECT_EQ(r.out.rfind(c.outStart, 0), 0u) << what;
    if (c.exit == 2) {
      // One line on standard error naming the option, nothing on standard output.
      EXPECT_EQ(r.out, "") << what;
      EXPECT_NE(r.err.find(what), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    } else {
      EXPECT_EQ(r.err, "") << what;
    }
  }
}

}  // namespace

// The remote password: stored as a hash that verifies only when both entries agree and are long
// enough; otherwise the file is left as it was.
TEST(CommandLine, RemotePasswordIsStoredOnlyAsAVerifiedHash) {
  const std::string conf = ::testing::TempDir() + "kanalo-remote-pw.conf";
  std::remove(conf.c_str());
  struct Case {
    const char* input;
    int code;
  };
  for (Case c : {Case{"kurz\nkurz\n", 1}, Case{"Fernfunk27\nFernfunk28\n", 1},
                 Case{"Fernfunk27\nFernfunk27\n", 0}}) {
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    std::fputs(c.input, in);
    std::rewind(in);
    EXPECT_EQ(app::StoreRemotePassword("remote.password", conf, in, out), c.code) << c.input;
    std::fclose(in);
    std::fclose(out);
  }
  platform::HostConfig cfg;
  cfg.LoadFile(conf);
  const std::string hash = cfg.Get("remote.password");
  EXPECT_TRUE(remote::VerifyPassword("Fernfunk27", hash)) << hash;
  EXPECT_FALSE(remote::VerifyPassword("Fernfunk28", hash));
  std::remove(conf.c_str());
}
