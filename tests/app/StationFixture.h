// The station window against the simulated KVR box, on the manual clock with a hand-pumped
// queue: the fixture shared by the station suites.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <chrono>
#include <filesystem>
#include <thread>

#include "analysis/MMConect.h"
#include "app/DataFiles.h"
#include "app/Main.h"
#include "app/Protokoll.h"
#include "app/StationLog.h"
#include "platform/Host.h"
#include "platform/MMTimer.h"
#include "platform/mixer/Sim.h"
#include "platform/serial/Serial.h"
#include "platform/serial/Sim.h"
#include "platform/wave/VirtualCard.h"
#include "sim/KvrBox.h"
#include "sim/RadioAudio.h"
#include "station/Settings.h"
#include "tests/support/QtApp.h"
#include "tests/support/Recorders.h"

namespace stationtest {

namespace fs = std::filesystem;
using app::TMain;

class Station : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testsupport::EnsureQtApplication<QApplication>(); }
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("kanalo-station-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "Kanalo");
    platform::SetDataRoot(root_.string());
    QImage(277, 129, QImage::Format_RGB32)
        .save(QString::fromStdString((root_ / "Kanalo/S_Meter.bmp").string()), "BMP");
    wire_ = std::make_shared<platform::SimWire>();
    platform::SimWire::Register("station", wire_);
    box_ = std::make_shared<sim::KvrBox>(wire_);
    box_->SetChannel(9);  // the radio stands where the station's default count starts
    // Pulses timed by the station's timers last as long on the box as on the manual clock.
    box_->SetClock([t = &*time_] { return t->Counter(); });
    platform::SetPortMappingLookup([](const std::string& com) {
      return com == "COM1" || com == "COM2" ? std::string("sim:station") : std::string();
    });
  }
  void TearDown() override {
    main_.reset();
    box_.reset();
    platform::SimWire::Unregister("station");
    platform::SetPortMappingLookup(nullptr);
    platform::SetDataRoot("");
    fs::remove_all(root_);
  }

  TMain& Start() {
    main_ = std::make_unique<TMain>();
    main_->FormCreate();
    rtl::Application().ProcessMessages();  // the loop's first turn shows what start-up found
    Settle();                              // the box's wake-up when start-up connected
    return *main_;
  }
  // Until the station's step sequence is over (the connect sequence, steps and their pulses),
  // a millisecond of the clock at a time; a minute of the station's clock at most.
  void Settle() {
    for (int i = 0; i < 60000 && main_ && main_->Station().Stepping(); ++i) {
      time_->Advance(1);
      rtl::Application().ProcessMessages();
    }
  }

  // One 100 ms tick, then whatever the box answers is delivered: once the tick's command has
  // reached the box, 10 ms more on the box's clock put the answer on the line (about 9.2 ms at
  // 4800 baud), before the next tick, as with a real box.
  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) {
      const size_t heard = BoxHeard();
      time_->Advance(100);
      rtl::Application().ProcessMessages();
      if (!box_) continue;
      const bool polled = main_->Station().Verbunden && main_->Station().RxFrames == 0;
      if (polled) testsupport::PumpUntil([&] { return BoxHeard() > heard; }, 2000);
      box_->Advance(10);
      if (polled)
        testsupport::PumpUntil(
            [&] { return main_->Station().RxFrames > 0 || box_->Commands().empty(); }, 2000);
    }
  }
  size_t BoxHeard() const { return box_ ? box_->Commands().size() + box_->DroppedBytes() : 0; }

  // One millisecond of the station's world: the clock, the queue, and after each poll the box's
  // answer, which is on the line about 9.2 ms after the command (the box hears the command inside
  // the station's write; its frame comes back through the serial event thread).
  void StepMs() {
    const size_t heard = BoxHeard();
    time_->Advance(1);
    rtl::Application().ProcessMessages();
    if (box_) {
      if (main_ && main_->Station().Verbunden && BoxHeard() != heard)
        answerDueMs_ = time_->NowMs() + 10;
      box_->Advance(0);  // the box runs on the manual clock: what is due goes out
      if (answerDueMs_ >= 0 && time_->NowMs() >= answerDueMs_) {
        answerDueMs_ = -1;
        if (main_ && main_->Station().Verbunden) AwaitFrame();
      }
    }
    if (AfterStep) AfterStep();
  }
  int64_t answerDueMs_ = -1;
  // Waits for the serial event thread to hand the frame over, serving only that hand-over: the
  // rest of the station must not run more often than its millisecond allows (the connector
  // cycles as fast as it is pumped, and the decoder counts its pauses in cycles).
  void AwaitFrame() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (main_->Station().RxFrames == 0 && std::chrono::steady_clock::now() < end) {
      if (!main_->Station().RS232->DispatchHandedOver())
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  std::function<void()> AfterStep;  // checks that must hold at every moment, boxes open or not
  void Run(int ms) {
    for (int t = 0; t < ms; ++t) StepMs();
  }

  // Message boxes from here on behave like real modal boxes: while one is open the station's
  // world goes on inside it (StepMs), until the script closes it. The default error box is such
  // a box as well; its texts are still recorded in `errors_`.
  void UseModalBoxes() {
    dialogs_->Step = [this] { StepMs(); };
    rtl::Application().ErrorBoxHook = [this](const std::string& text) {
      errors_.messages.push_back(text);
      dialogs_->MessageBox(text, "Kanalo", rtl::mtError, rtl::mbOK);
    };
  }

  void WriteSettings(const station::TEinstellungen& e) {
    station::SaveSettingsFile((root_ / "Kanalo/default.kvr").string(), e);
  }
  station::TEinstellungen Defaults() {
    TMain m;
    m.DefaultWerteClick();
    return m.Station().Einstellungen;
  }
  // The defaults on COM1, started and polled once.
  TMain& StartConnected() {
    auto e = Defaults();
    e.ComPort = "COM1";
    WriteSettings(e);
    TMain& m = Start();
    Tick();
    return m;
  }
  // The station's log as written so far, one kind of event.
  std::vector<app::TLogEntry> Log(app::TLogKind kind) {
    app::LogWriter().Flush();
    std::vector<app::TLogEntry> out;
    for (auto& e : app::ReadLog(app::LogFilePath(), QDateTime()))
      if (e.Art == kind) out.push_back(e);
    return out;
  }

  fs::path root_;
  platform::ScopedManualTime time_;
  testsupport::ScopedDialogs dialogs_;
  testsupport::ErrorBoxRecorder errors_;
  std::shared_ptr<platform::SimWire> wire_;
  std::shared_ptr<sim::KvrBox> box_;
  std::unique_ptr<TMain> main_;
};

// The station with its sound: the virtual sound card paced by the test clock, the simulated mixer
// and the radio's audio (receiver on line in, transmitter on the output).
class SoundStation : public Station {
 protected:
  void SetUp() override {
    Station::SetUp();
    card_ = std::make_shared<platform::wave::TVirtualSoundCard>(
        1, 1, platform::wave::TVirtualSoundCard::Pacing::Timer);
    platform::wave::SetWaveBackend(card_);
    mixer_ = std::make_shared<platform::mixer::TSimMixer>(card_);
    platform::mixer::SetMixerBackend(mixer_);
    radio_ = std::make_unique<sim::TRadioAudio>(box_, card_);
    // The test's loop is the clock; a connector cycle must not move it by itself.
    analysis::TMMConnector::CycleSleep = [] {};
  }
  void TearDown() override {
    main_.reset();
    radio_.reset();
    analysis::TMMConnector::CycleSleep = nullptr;
    platform::mixer::SetMixerBackend(nullptr);
    platform::wave::SetWaveBackend(nullptr);
    Station::TearDown();
  }

  // The mailbox armed for up to 30 s, then a caller on channel 9 dials its number and speaks;
  // ends with the recording running, then the card loses its input under it.
  void LoseTheInputWhileTheMailboxRecords(TMain& m) {
    m.Station().Einstellungen.MaxAufnahmezeit = 30;
    m.Station().MailboxArmed = true;
    Run(1100);  // the long timer's first firing starts the decoder
    box_->SetSignal(9, 90);
    radio_->Receiver().CallDtmf("3456");
    radio_->Receiver().CallTone(440, 0, 4000, 0.3);
    Run(2000);
    ASSERT_TRUE(m.RecLED->GetEnabled());
    card_->FailStreams(platform::wave::TWaveDir::In, platform::wave::WAVERR_DEVICEGONE);
    Run(300);
  }

  std::shared_ptr<platform::wave::TVirtualSoundCard> card_;
  std::shared_ptr<platform::mixer::TSimMixer> mixer_;
  std::unique_ptr<sim::TRadioAudio> radio_;
};

// The defaults on COM1 with the cue tests' files: call cue `callArt`, the roger beep, the call
// 2345 (the files lie in the data folder as Cue1.wav, Cue2.wav and Beep.wav).
inline station::TEinstellungen WithCues(station::TEinstellungen e, uint8_t callArt) {
  e.ComPort = "COM1";
  e.CallArt = callArt;
  e.RogerAktiv = true;
  e.Call1Wav = "C:\\Kanalo\\Cue1.wav";
  e.Call2Wav = "C:\\Kanalo\\Cue2.wav";
  e.RogerWav = "C:\\Kanalo\\Beep.wav";
  e.AbgehendeRufnummer = "2345";
  return e;
}

}  // namespace stationtest
