// Any bytes as the default settings file, through the whole start-up: the loader and its checks,
// the step that applies the record to the window, a few polls, the scan band and a channel
// command from the network. Half of the inputs are first made into files of the right shape
// (their numbers kept), so the range checks see every value and not only the size check.
// Nothing may crash, no behaviour may be undefined, no pulse may hold the window longer than
// half a second, and the front must be coherent: the channel inside its mode and shown with its
// frequency, the meter with a face.
#include <unistd.h>

#include <QApplication>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/DataFiles.h"
#include "app/Main.h"
#include "app/RigLink.h"
#include "platform/Host.h"
#include "platform/MMTimer.h"
#include "rtl/Dialogs.h"
#include "rtl/Forms.h"
#include "rtl/Messages.h"
#include "station/Settings.h"
#include "station/Text.h"

namespace {

class QuietDialogs : public rtl::IDialogs {
 public:
  int MessageBox(const std::string&, const std::string&, rtl::TMsgDlgType, int) override {
    return rtl::mrOk;
  }
  bool InputQuery(const std::string&, const std::string&, std::string&) override { return false; }
  std::optional<std::string> OpenFile(const rtl::TFileDialogOptions&) override { return {}; }
  std::optional<std::string> SaveFile(const rtl::TFileDialogOptions&) override { return {}; }
};

const std::string& DataDir() {
  static const std::string dir = [] {
    rtl::MainThreadId();
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "startup_fuzz";
    static char* argv[] = {name, nullptr};
    if (!qApp) new QApplication(argc, argv);
    auto d = std::filesystem::temp_directory_path() /
             ("kanalo-startup-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(d / "Kanalo");
    return d.string();
  }();
  return dir;
}

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "startup_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = DataDir();
  platform::SetDataRoot(dir);
  app::InstallDefaultDataFiles();
  std::vector<uint8_t> file(data, data + size);
  if (size > 0 && (data[0] & 1)) {
    station::TEinstellungen shaped;
    station::DecodeSettings(data + 1, size - 1, shaped);
    file = station::EncodeSettings(shaped);
  }
  std::ofstream(dir + "/Kanalo/default.kvr", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));

  platform::ScopedManualTime time;
  rtl::SetDialogs(std::make_shared<QuietDialogs>());
  rtl::Application().ErrorBoxHook = [](const std::string&) {};
  {
    app::TMain m;
    m.FormCreate();
    Check(m.Station().PulseMicros() <= 500000, "a pulse longer than half a second");
    for (int i = 0; i < 3; ++i) m.Station().Tick();
    m.ShowScanClick();
    m.DisplayClick();
    const station::TEinstellungen& e = m.Station().Einstellungen;
    Check(1 <= e.ErsterKanal && e.ErsterKanal <= e.Kanal && e.Kanal <= e.LetzterKanal &&
              e.LetzterKanal <= station::kChannels,
          "channel outside its mode");
    Check(m.K_Anzeige->text().toStdString() == std::to_string(e.Kanal), "channel not shown");
    Check(m.F_Anzeige->text().toStdString() == station::AnsiToUtf8(e.Frequenz[e.Kanal].str()),
          "frequency not shown");
    Check(!m.SMeter->GetBackGroundDIB().isNull(), "meter without a face");
    Check(m.Station().Ready && m.Station().NestedTicks == 0, "start-up unfinished");
    app::RigLink rig(m.Station());
    rig.TuneToChannel(5);  // the port is closed: refused, but no division by zero
    (void)rig.FrequencyHz();
    (void)rig.StrengthDb();
  }
  rtl::Application().ProcessMessages();
  rtl::Application().ErrorBoxHook = nullptr;
  rtl::SetDialogs(nullptr);
  platform::SetDataRoot("");
  return 0;
}
