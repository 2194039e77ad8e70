// The sound card choice: kanalo.conf keys rewritten in place, and "Extras / Soundkarte…" storing
// what the operator chose.
#include <gtest/gtest.h>

#include <QApplication>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/AudioDevices.h"
#include "platform/Host.h"
#include "platform/wave/VirtualCard.h"
#include "tests/support/QtApp.h"
#include "tests/support/Recorders.h"

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class AudioDevicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kanalo-audiodev-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    file_ = (dir_ / "kanalo.conf").string();
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
  std::string file_;
};

TEST_F(AudioDevicesTest, KeysAreReplacedInPlaceAndEverythingElseStays) {
  struct Case {
    std::string before;
    std::map<std::string, std::string> values;
    std::string after;
  };
  const Case cases[] = {
      {"", {{"audio.input", "hw:1,0"}}, "audio.input = hw:1,0\n"},
      {"# meine Station\nroot = /srv/kanalo\naudio.input=default\n",
       {{"audio.input", "plughw:CARD=Device,DEV=0"}},
       "# meine Station\nroot = /srv/kanalo\naudio.input = plughw:CARD=Device,DEV=0\n"},
      {"audio.output = a\naudio.output = b\n# audio.output = c\n",
       {{"audio.output", "pulse"}, {"mixer.card", "hw:2"}},
       "audio.output = pulse\n# audio.output = c\nmixer.card = hw:2\n"},
      {"mixer.card = hw:2\nport.COM1 = /dev/ttyUSB0\n",
       {{"mixer.card", ""}},
       "port.COM1 = /dev/ttyUSB0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    std::ofstream(file_, std::ios::trunc) << c.before;
    app::StoreConfigKeys(file_, c.values);
    EXPECT_EQ(ReadAll(file_), c.after);
  }
  EXPECT_THROW(app::StoreConfigKeys("/proc/kanalo/none/kanalo.conf", {{"a", "b"}}),
               std::runtime_error);
}

TEST_F(AudioDevicesTest, TheChoiceGoesIntoKanaloConfAndTheRunningConfiguration) {
  testsupport::EnsureQtApplication<QApplication>();
  testsupport::ScopedDialogs dialogs;
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::string oldValue = old ? old : "";
  setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
  fs::create_directories(dir_ / "kanalo");
  std::ofstream(dir_ / "kanalo" / "kanalo.conf") << "# eigene Zeile\nmixer.card = hw:0\n";
  app::TAudioOffer seen;
  app::AudioChooser() = [&](QWidget*, const app::TAudioOffer& offer, app::TAudioChoice& c) {
    seen = offer;
    EXPECT_EQ(c.Input, platform::HostConfig::Instance().Get("audio.input", "default"));
    c.Input = "plughw:CARD=Device,DEV=0";
    c.Output = "default";
    c.MixerCard = "";
    return true;
  };
  app::ChooseSoundCard(nullptr);
  EXPECT_EQ(ReadAll((dir_ / "kanalo" / "kanalo.conf").string()),
            "# eigene Zeile\naudio.input = plughw:CARD=Device,DEV=0\n");
  auto& conf = platform::HostConfig::Instance();
  EXPECT_EQ(conf.Get("audio.input", ""), "plughw:CARD=Device,DEV=0");
  EXPECT_EQ(conf.Get("audio.output", ""), "default");
  EXPECT_EQ(conf.Get("mixer.card", "x"), "");
  EXPECT_EQ(dialogs->boxes.size(), 1u);

  // Cancelled: nothing changes.
  app::AudioChooser() = [](QWidget*, const app::TAudioOffer&, app::TAudioChoice& c) {
    c.Input = "hw:9";
    return false;
  };
  app::ChooseSoundCard(nullptr);
  EXPECT_EQ(conf.Get("audio.input", ""), "plughw:CARD=Device,DEV=0");

  // The simulator's virtual card: what is in use is said, nothing is offered or stored.
  auto card = std::make_shared<platform::wave::TVirtualSoundCard>();
  platform::wave::SetWaveBackend(card);
  app::AudioChooser() = [](QWidget*, const app::TAudioOffer&, app::TAudioChoice&) {
    ADD_FAILURE() << "the computer's devices offered while the simulator's card is in use";
    return true;
  };
  app::ChooseSoundCard(nullptr);
  platform::wave::SetWaveBackend(nullptr);
  ASSERT_EQ(dialogs->boxes.size(), 2u);
  EXPECT_EQ(dialogs->boxes[1].text,
            "Der Simulator nimmt auf von \"Virtual Sound Card In\" und spielt über \"Virtual "
            "Sound Card Out\". Die Soundkarte wählt man in der Station ohne --simulator.");
  EXPECT_EQ(conf.Get("audio.input", ""), "plughw:CARD=Device,DEV=0");
  conf.Set("audio.input", "default");
  app::AudioChooser() = nullptr;
  if (old)
    setenv("XDG_CONFIG_HOME", oldValue.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
