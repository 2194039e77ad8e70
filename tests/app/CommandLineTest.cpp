// The station's command line: our options with two dashes, Qt's with one, GNU exit codes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "app/CommandLine.h"
#include "app/Headless.h"
#include "app/Instance.h"
#include "platform/Host.h"
#include "remote/Password.h"
#include "tests/support/QtApp.h"
#include "tests/support/Recorders.h"

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
      // Hamlib's models by number, its dummy first: what `hamlib.model` takes.
      {{"--list-radios"}, 0, false, "1\tHamlib Dummy\n2\tHamlib NET rigctl\n"},
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
// enough, in a file only its owner reads; otherwise the file is left as it was. What the prompt
// says is German, the minimum included.
TEST(CommandLine, RemotePasswordIsStoredOnlyAsAVerifiedHash) {
  const std::string conf = ::testing::TempDir() + "kanalo-remote-pw.conf";
  std::remove(conf.c_str());
  {
    std::FILE* f = std::fopen(conf.c_str(), "w");
    std::fputs("rigctl.port = 4532\n", f);
    std::fclose(f);
    ::chmod(conf.c_str(), 0644);
  }
  struct Case {
    const char* input;
    int code;
    const char* says;
  };
  for (Case c : {Case{"kurz\nkurz\n", 1, "mindestens 8 Zeichen, nichts gespeichert"},
                 Case{"Fernfunk27\nFernfunk28\n", 1, "verschieden, nichts gespeichert"},
                 Case{"Fernfunk27\nFernfunk27\n", 0, "gespeichert."}}) {
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    std::fputs(c.input, in);
    std::rewind(in);
    EXPECT_EQ(app::StoreRemotePassword("remote.password", conf, in, out), c.code) << c.input;
    std::rewind(out);
    char text[512] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, out);
    const std::string said(text, n);
    EXPECT_NE(said.find("Neues Passwort (mindestens 8 Zeichen): "), std::string::npos) << said;
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
    std::fclose(in);
    std::fclose(out);
  }
  struct stat st {};
  ASSERT_EQ(::stat(conf.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  platform::HostConfig cfg;
  cfg.LoadFile(conf);
  const std::string hash = cfg.Get("remote.password");
  EXPECT_TRUE(remote::VerifyPassword("Fernfunk27", hash)) << hash;
  EXPECT_FALSE(remote::VerifyPassword("Fernfunk28", hash));
  std::remove(conf.c_str());
}

// Headless at start: COM1 only where nothing is saved and kanalo.conf names COM1.
TEST(Headless, StartsOnCom1OnlyWithoutASavedPortAndWithCom1Configured) {
  struct Case {
    const char *saved, *com1, *port;
  };
  for (Case c : {Case{"", "sim", "COM1"}, Case{"", "/dev/ttyUSB0", "COM1"}, Case{"", "", ""},
                 Case{"COM2", "sim", ""}, Case{"COM1", "sim", ""}, Case{"LPT1", "sim", "COM1"}})
    EXPECT_EQ(app::HeadlessStartPort(c.saved, c.com1), c.port) << c.saved << " " << c.com1;
}

// One station per data folder: a second start on the same folder is refused with a German box
// and knocks on the running one, which comes to the front; another folder starts; the lock goes
// with its holder.
TEST(InstanceLock, OnePerDataFolderAndASecondStartRaisesTheFirst) {
  namespace fs = std::filesystem;
  testsupport::EnsureQtApplication<QApplication>();
  testsupport::ScopedDialogs dialogs;
  const fs::path base = fs::temp_directory_path() / ("kanalo-lock-" + std::to_string(::getpid()));
  fs::remove_all(base);
  platform::SetDataRoot((base / "a").string());
  const std::string a = platform::ToHostPath("C:\\Kanalo"), b = (base / "b/Kanalo").string();
  {
    app::TInstanceLock first;
    ASSERT_TRUE(app::TakeInstanceLock(first));
    int raised = 0;
    first.Listen([&] { ++raised; });
    app::TInstanceLock second, other;
    EXPECT_FALSE(app::TakeInstanceLock(second));
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].text, app::TInstanceLock::AlreadyRunningText(a));
    QElapsedTimer t;
    for (t.start(); raised == 0 && t.elapsed() < 10000;) QCoreApplication::processEvents();
    EXPECT_EQ(raised, 1);
    EXPECT_TRUE(other.Acquire(b));
  }
  app::TInstanceLock again;
  EXPECT_TRUE(again.Acquire(a));
  platform::SetDataRoot("");
  fs::remove_all(base);
}
