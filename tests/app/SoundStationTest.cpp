// The station's sound end to end on the simulator: the receiver's audio through the virtual sound
// card and the simulated mixer, selective calls decoded from it, mailbox recordings on disk, and
// the cues and DTMF calls that go out through the transmitter.
#include <cmath>
#include <cstring>

#include "analysis/MMConect.h"
#include "app/RemoteLink.h"
#include "audio/MMWave.h"
#include "platform/mixer/Sim.h"
#include "platform/wave/VirtualCard.h"
#include "sim/RadioAudio.h"
#include "tests/app/StationFixture.h"

using namespace stationtest;
using platform::wave::TVirtualSoundCard;

namespace {

double Rms(const std::vector<int16_t>& s) {
  double acc = 0;
  for (int16_t v : s) acc += double(v) * v;
  return s.empty() ? 0 : std::sqrt(acc / s.size());
}

TEST_F(SoundStation, SquelchDecidesWhetherTheSpeakerCarriesTheReceiver) {
  TMain& m = StartConnected();
  ASSERT_NE(m.Mixer.InMixControll->GetControlId(), -1) << "the simulated mixer has a line-in mute";
  radio_->Receiver().CallTone(1000, 0, 5000, 0.5);
  box_->SetSignal(9, 20);  // below the squelch level 50
  Run(300);
  EXPECT_TRUE(m.LineMute->isChecked());
  EXPECT_LT(Rms(mixer_->RenderSpeakerMs(50)), 50.0);
  box_->SetSignal(9, 80);  // a station: the squelch opens
  Run(300);
  EXPECT_FALSE(m.LineMute->isChecked());
  EXPECT_GT(Rms(mixer_->RenderSpeakerMs(50)), 500.0);
  m.Label7Click();  // line in held muted
  Run(300);
  EXPECT_TRUE(m.LineMute->isChecked());
  EXPECT_LT(Rms(mixer_->RenderSpeakerMs(50)), 50.0);
}

TEST_F(SoundStation, SelectiveCallOpensTheSpeakerForTheOwnNumber) {
  TMain& m = StartConnected();
  m.DTMF_OpenClick();
  EXPECT_TRUE(m.DTMF_Open->isChecked());
  EXPECT_TRUE(m.Station().Einstellungen.LineStumm);
  box_->SetSignal(9, 90);
  Run(400);
  EXPECT_TRUE(m.LineMute->isChecked());  // armed: a carrier alone does not open
  radio_->Receiver().CallDtmf("2345");
  Run(1500);
  EXPECT_EQ(m.L_M->text().toStdString(), "2345");
  EXPECT_FALSE(m.DTMF_Open->isChecked());
  EXPECT_FALSE(m.Station().Einstellungen.LineStumm);
  EXPECT_EQ(m.Shape1->BrushColor(), QColor(255, 0, 0));
  Run(300);
  EXPECT_FALSE(m.LineMute->isChecked());  // the caller is heard
}

TEST_F(SoundStation, StrayDigitBeforeTheNumberDoesNotOpen) {
  TMain& m = StartConnected();
  m.DTMF_OpenClick();
  box_->SetSignal(9, 90);
  radio_->Receiver().CallDtmf("92345");
  Run(1800);  // the line ends after half a second without tones
  EXPECT_EQ(m.L_A->text().toStdString(), "92345");
  EXPECT_TRUE(m.DTMF_Open->isChecked());
  EXPECT_TRUE(m.Station().Einstellungen.LineStumm);
}

TEST_F(SoundStation, MailboxCallIsRecordedIntoADatedFileForTheMaximumTime) {
  TMain& m = StartConnected();
  m.Station().DateTimeTexts = [] {
    return std::make_pair(std::string("06.12.2026"), std::string("14:30:05"));
  };
  m.Station().Einstellungen.MaxAufnahmezeit = 3;
  Run(1100);          // the long timer's first firing ("Stop") has passed with the mailbox off
  m.DTMF_RecClick();  // checking the mailbox listens at once
  box_->SetSignal(9, 90);
  radio_->Receiver().CallDtmf("3456");
  radio_->Receiver().CallTone(440, 0, 4000, 0.3);  // the caller speaks
  Run(1500);
  EXPECT_TRUE(m.RecLED->GetEnabled());
  EXPECT_EQ(m.WaveName->text().toStdString(), "20261206143005");
  Run(3500);
  EXPECT_FALSE(m.RecLED->GetEnabled());
  fs::path file = root_ / "Kanalo/20261206143005.Wav";
  ASSERT_TRUE(fs::exists(file));
  // Between MaxAufnahmezeit - 1 and MaxAufnahmezeit seconds of 16-bit mono at 44.1 kHz.
  auto bytes = fs::file_size(file);
  EXPECT_GT(bytes, 2u * 88200u);
  EXPECT_LT(bytes, 3u * 88200u + 4096u);
  // Listening again for the next call: the decoder's input is open and running.
  EXPECT_EQ(m.Station().DTMF_In->State(), audio::wsOpen | audio::wsStarted);
  m.DTMF_RecClick();  // unchecked, and the selective call is off: nothing listens
  EXPECT_EQ(m.Station().DTMF_In->State(), audio::wsClosed);
}

// The mailbox number while the mailbox is off: the selective call stays armed, nothing is
// recorded. CLR then forgets the line and the older digits for good, also on the next tick.
TEST_F(SoundStation, MailboxOffRecordsNothingAndClrForgetsTheDigits) {
  TMain& m = StartConnected();
  m.DTMF_OpenClick();
  ASSERT_FALSE(m.DTMF_Rec->isChecked());
  box_->SetSignal(9, 90);
  radio_->Receiver().CallDtmf("3456");
  Run(1800);
  EXPECT_EQ(m.L_A->text().toStdString(), "3456");
  EXPECT_FALSE(m.RecLED->GetEnabled());
  EXPECT_TRUE(m.DTMF_Open->isChecked());
  for (const auto& f : fs::directory_iterator(root_ / "Kanalo"))
    EXPECT_NE(f.path().extension(), ".Wav") << f.path();
  EXPECT_TRUE(Log(app::TLogKind::Selektivruf).empty()) << "a call nobody answered is no call";
  m.DTMF_ClrClick();
  Run(300);
  EXPECT_EQ(m.L_A->text().toStdString(), "");
  EXPECT_EQ(m.L_M->text().toStdString(), "");
  EXPECT_EQ(m.Station().DTMFDecoder.LA, "");
}

TEST_F(SoundStation, CallCueThenMicrophoneThenRogerThenReceive) {
  TMain& m = StartConnected();
  m.Station().Einstellungen.CallArt = 1;
  m.Station().Einstellungen.RogerAktiv = true;
  app::InstallDefaultDataFiles();
  box_->ClearCommands();
  m.B_PTTMouseDown();
  Run(100);
  EXPECT_EQ(box_->LastCommand(), 11);
  EXPECT_TRUE(m.MicMute->isChecked());
  Run(1000);  // the cue (about 0.65 s) has ended
  EXPECT_EQ(box_->LastCommand(), 15);
  EXPECT_FALSE(m.MicMute->isChecked());
  EXPECT_GT(radio_->Transmitter().OnAir().size(), 10000u);  // the cue went on the air
  m.B_PTTMouseUp();
  Run(100);
  EXPECT_EQ(box_->LastCommand(), 11);  // roger beep
  EXPECT_EQ(m.TxLED->BrushColor(), QColor(230, 0, 0));
  Run(600);
  EXPECT_EQ(box_->LastCommand(), 9);
  EXPECT_EQ(m.TxLED->BrushColor(), QColor(0, 176, 0));
  // Released while the call cue sounds, without a roger beep: the cue ends with the transmission.
  m.Station().Einstellungen.RogerAktiv = false;
  m.B_PTTMouseDown();
  Run(150);
  ASSERT_EQ(box_->LastCommand(), 11);
  m.B_PTTMouseUp();
  Run(200);
  EXPECT_EQ(box_->LastCommand(), 9);
  EXPECT_FALSE(m.Station().SoundWave->State() & audio::wsStarted);
}

TEST_F(SoundStation, MissingCueIsReportedAndNeverLeavesTheTransmitterKeyed) {
  TMain& m = StartConnected();
  UseModalBoxes();
  m.Station().Einstellungen.CallArt = 2;
  m.Station().Einstellungen.Call2Wav = "C:\\Kanalo\\gibtsnicht.Wav";
  m.Station().Einstellungen.RogerAktiv = true;
  m.Station().Einstellungen.RogerWav = "C:\\Kanalo\\auchnicht.Wav";
  m.B_PTTMouseDown();
  Run(300);
  EXPECT_EQ(box_->LastCommand(), 15);  // on to the microphone
  EXPECT_EQ(errors_.messages.size(), 1u);
  m.B_PTTMouseUp();
  Run(300);
  EXPECT_EQ(box_->LastCommand(), 9);
  EXPECT_FALSE(m.Station().TxAktiv);
  ASSERT_EQ(errors_.messages.size(), 2u);
  EXPECT_EQ(dialogs_->maxOpen, 1);
  // The component's text, then which file on this host and why.
  EXPECT_EQ(errors_.messages[1], "Error reading wave file (" +
                                     (root_ / "Kanalo/auchnicht.Wav").string() +
                                     ": Datei nicht gefunden)");
}

TEST_F(SoundStation, DtmfCallGoesOutAsToneSequence) {
  TMain& m = StartConnected();
  m.Station().Einstellungen.CallArt = 3;
  m.B_PTTMouseDown();
  Run(100);
  EXPECT_EQ(box_->LastCommand(), 11);
  Run(1800);  // 15 segments of 102 ms, then the device stops
  EXPECT_TRUE(m.Station().SoundFertig || box_->LastCommand() == 15);
  EXPECT_EQ(box_->LastCommand(), 15);
  auto air = radio_->Transmitter().OnAir();
  EXPECT_GT(air.size(), 14u * 4500u);
  m.B_PTTMouseUp();
  Run(200);
  EXPECT_EQ(box_->LastCommand(), 9);
  // Disconnecting in the middle of the call closes its output at once.
  m.B_PTTMouseDown();
  Run(300);
  ASSERT_TRUE(m.Station().DTMF_Out->State() & audio::wsOpen);
  m.Trennen1Click();
  EXPECT_FALSE(m.Station().DTMF_Out->State() & audio::wsOpen);
  m.B_PTTMouseUp();
}

TEST_F(SoundStation, InvalidDtmfCharactersWarnOnceEach) {
  TMain& m = StartConnected();
  m.Station().Einstellungen.AbgehendeRufnummer = "12a4";
  m.B_DTMFClick();
  ASSERT_EQ(dialogs_->boxes.size(), 1u);
  EXPECT_EQ(dialogs_->boxes[0].text, "a ist kein gültiges DTMF Zeichen !");
  Run(1800);
  EXPECT_TRUE(m.Station().SoundFertig);
}

// Listening to the mailbox holds line in muted, also against an open squelch, and lets it go
// when the file has played: the next open squelch reaches the speaker again.
TEST_F(SoundStation, MailboxPlaybackHoldsLineInMutedUntilItsEnd) {
  TMain& m = StartConnected();
  app::InstallDefaultDataFiles();
  box_->SetSignal(9, 90);
  Run(300);
  ASSERT_FALSE(m.LineMute->isChecked());
  dialogs_->files = {platform::ToHostPath("C:\\Kanalo\\Call1.Wav")};
  m.PlayWavClick();
  EXPECT_TRUE(m.Station().Einstellungen.LineStumm);
  EXPECT_TRUE(m.LineMute->isChecked());
  Run(300);
  EXPECT_TRUE(m.LineMute->isChecked()) << "the squelch must not open the line under playback";
  EXPECT_EQ(box_->LastCommand(), 9);  // listening keys nothing
  Run(1500);
  EXPECT_FALSE(m.Station().Einstellungen.LineStumm);
  EXPECT_EQ(m.WavTime->text().toStdString(), "00:00.000");
  Run(200);
  EXPECT_FALSE(m.LineMute->isChecked());
  // The playback's end finished no cue: the next transmission still begins with its call.
  m.Station().Einstellungen.CallArt = 1;
  m.B_PTTMouseDown();
  Run(100);
  EXPECT_EQ(box_->LastCommand(), 11);
  m.B_PTTMouseUp();
  Run(300);
  // On a quiet channel no frame redraws the mutes: the end of the playback itself shows that the
  // line is no longer held ("Line In" red while it plays, blue after).
  const auto labelColour = [&] { return m.Label7->palette().color(QPalette::WindowText); };
  box_->SetSignal(9, 0);
  Run(300);
  dialogs_->files = {platform::ToHostPath("C:\\Kanalo\\Call1.Wav")};
  m.PlayWavClick();
  EXPECT_EQ(labelColour(), QColor(255, 0, 0));
  Run(1800);
  ASSERT_FALSE(m.Station().Einstellungen.LineStumm);
  EXPECT_EQ(labelColour(), QColor(0, 0, 255));
  m.Label7Click();  // one click holds the line again, and says so
  EXPECT_EQ(labelColour(), QColor(255, 0, 0));
}

TEST_F(SoundStation, TxSendsAFileWhileKeyedAndReleasesAtTheEnd) {
  TMain& m = StartConnected();
  app::InstallDefaultDataFiles();
  dialogs_->files = {platform::ToHostPath("C:\\Kanalo\\Call1.Wav")};
  m.SendWavClick();
  EXPECT_TRUE(m.Station().PTTTaste);
  EXPECT_EQ(dialogs_->fileDialogs[0].Title, "Open Wave File");
  EXPECT_EQ(dialogs_->fileDialogs[0].Filter, "Wave-Files(*.wav)|*.wav");
  Run(200);
  EXPECT_EQ(box_->LastCommand(), 11);
  Run(900);
  EXPECT_FALSE(m.Station().PTTTaste);
  EXPECT_FALSE(m.Station().WavSenden);
  EXPECT_EQ(m.WavTime->text().toStdString(), "00:00.000");
  Run(200);
  EXPECT_EQ(box_->LastCommand(), 9);
}

}  // namespace

namespace {

// Our own sender's tones, sent on the air through the virtual sound card, recorded there and
// played back into the card's input, come back from our decoder as the same characters.
TEST_F(SoundStation, ClosedLoopEverySixteenCharacters) {
  TMain& m = StartConnected();
  const std::string all = "0123456789ABCD*#";
  m.Station().Einstellungen.AbgehendeRufnummer = all;
  m.Station().Einstellungen.CallArt = 3;
  m.B_PTTMouseDown();
  Run(100 + (7 + 2 * 16) * 103 + 300);
  m.B_PTTMouseUp();
  Run(200);
  std::vector<int16_t> air = radio_->Transmitter().OnAir();
  ASSERT_EQ(radio_->Transmitter().Rate(), 44100u);
  ASSERT_GT(air.size(), 16u * 2 * 4500u);
  std::vector<uint8_t> bytes(air.size() * 2);
  std::memcpy(bytes.data(), air.data(), bytes.size());
  card_->SetSource(std::make_shared<platform::wave::TBytesSource>(std::move(bytes)));
  m.DTMF_OpenClick();
  Run(static_cast<int>(air.size() / 44) + 800);
  EXPECT_EQ(m.L_A->text().toStdString() + m.L_M->text().toStdString(), all);
}

}  // namespace

namespace {

// The sound card goes away in the middle of what the transmit logic waits for: the wait ends as
// if the sound had ended, the operator hears of it once, and the transmitter is released.
TEST_F(SoundStation, AnOutputThatFailsCountsAsFinishedAndReleasesTheTransmitter) {
  for (int callArt : {1, 3}) {
    SCOPED_TRACE(callArt);
    TMain& m = StartConnected();
    m.Station().Einstellungen.CallArt = callArt;
    app::InstallDefaultDataFiles();
    errors_.messages.clear();
    m.B_PTTMouseDown();
    Run(300);
    EXPECT_EQ(box_->LastCommand(), 11);  // the cue or the call is on the air
    card_->FailStreams(platform::wave::TWaveDir::Out, platform::wave::WAVERR_DEVICEGONE);
    Run(200);
    EXPECT_EQ(box_->LastCommand(), 15);  // on to the microphone at once
    ASSERT_EQ(errors_.messages.size(), 1u);
    EXPECT_EQ(errors_.messages[0].rfind("WaveOutWrite:", 0), 0u);
    m.B_PTTMouseUp();
    Run(300);
    EXPECT_EQ(box_->LastCommand(), 9);
    EXPECT_FALSE(m.Station().TxAktiv);
    main_.reset();
  }
}

// The card goes away while the mailbox records a caller: the recording ends with what it holds
// (a file that opens), the mailbox is disarmed, one message.
TEST_F(SoundStation, AFailedInputEndsTheMailboxRecordingWithItsFileIntact) {
  TMain& m = StartConnected();
  m.Station().DateTimeTexts = [] {
    return std::make_pair(std::string("07.12.2026"), std::string("09:15:00"));
  };
  LoseTheInputWhileTheMailboxRecords(m);
  if (HasFatalFailure()) return;
  EXPECT_FALSE(m.RecLED->GetEnabled());
  EXPECT_FALSE(m.DTMF_Rec->isChecked());
  ASSERT_EQ(errors_.messages.size(), 1u);
  audio::TMMWave w;
  w.SetFileName((root_ / "Kanalo/20261207091500.Wav").string());
  EXPECT_GT(w.DataSizeBytes(), 44100);
  Run(2000);
  EXPECT_EQ(card_->OpenStreams(), 0);  // nothing starts listening again
}

TEST_F(SoundStation, AFailedInputDisarmsTheSelectiveCallAndTheMailboxWithOneMessage) {
  TMain& m = StartConnected();
  m.DTMF_RecClick();
  m.DTMF_OpenClick();
  Run(300);
  ASSERT_TRUE(m.Station().Einstellungen.LineStumm);
  card_->FailStreams(platform::wave::TWaveDir::In, platform::wave::WAVERR_DEVICEGONE);
  Run(300);
  EXPECT_FALSE(m.DTMF_Open->isChecked());
  EXPECT_FALSE(m.DTMF_Rec->isChecked());
  EXPECT_FALSE(m.Station().Einstellungen.LineStumm);
  EXPECT_EQ(m.Station().DTMF_In->State(), audio::wsClosed);
  ASSERT_EQ(errors_.messages.size(), 1u);
  EXPECT_EQ(errors_.messages[0].rfind("WaveInAddBuffer:", 0), 0u);
}

}  // namespace

namespace {

// The software monitor follows the line-in mute exactly as the mixer's switch does: open (both
// devices held) while the squelch is open, closed while it is shut or the selective call holds
// the line; "auto" leaves it off on a card that has the switch.
TEST_F(SoundStation, TheSoftwareMonitorIsGatedLikeTheLineSwitch) {
  auto& conf = platform::HostConfig::Instance();
  for (const char* mode : {"on", "auto"}) {
    SCOPED_TRACE(mode);
    conf.Set("audio.monitor", mode);
    const bool on = std::string(mode) == "on";
    TMain& m = StartConnected();
    box_->SetSignal(9, 20);
    Run(300);
    ASSERT_TRUE(m.LineMute->isChecked());
    EXPECT_EQ(card_->OpenStreams(), 0);
    box_->SetSignal(9, 80);  // the squelch opens
    Run(300);
    ASSERT_FALSE(m.LineMute->isChecked());
    EXPECT_EQ(card_->OpenStreams(), on ? 2 : 0);
    box_->SetSignal(9, 20);
    Run(300);
    EXPECT_EQ(card_->OpenStreams(), 0);
    m.DTMF_OpenClick();  // armed: a carrier no longer opens the line, only the decoder listens
    box_->SetSignal(9, 80);
    Run(300);
    EXPECT_TRUE(m.LineMute->isChecked());
    EXPECT_EQ(card_->OpenStreams(), 1);
    m.DTMF_OpenClick();
    Run(300);
    EXPECT_FALSE(m.LineMute->isChecked());
    EXPECT_EQ(card_->OpenStreams(), on ? 2 : 0);
    main_.reset();
  }
  conf.Set("audio.monitor", "auto");
}

// The master carries the speaker's level on receive and the transmit level while keyed; the two
// are set apart so that neither can stand in for the other.
TEST_F(SoundStation, MasterCarriesTheVolumeOnReceiveAndTheLineOutLevelOnTransmit) {
  TMain probe;
  const int top = probe.Volume->GetMaxValue();
  ASSERT_GT(top, 8);
  // The desktop left the master up; start-up sets it also when the knob does not move (0).
  namespace pm = platform::mixer;
  mixer_->SetValuesExternal(
      static_cast<uint32_t>(mixer_->ControlIdOf(pm::MIXERLINE_COMPONENTTYPE_DST_SPEAKERS,
                                                pm::MIXERCONTROL_CONTROLTYPE_VOLUME)),
      {65535, 65535});
  auto e = Defaults();
  e.ComPort = "COM1";
  e.VolumeWert = 0;
  WriteSettings(e);
  Start();
  EXPECT_EQ(main_->MasterOut->GetValue(), 0);
  main_.reset();
  e.VolumeWert = top / 4;
  e.LineOutWert = top * 3 / 4;
  WriteSettings(e);
  TMain& m = Start();
  Tick();
  EXPECT_EQ(m.MasterOut->GetValue(), top / 4);
  m.B_PTTMouseDown();
  Run(100);
  ASSERT_EQ(box_->LastCommand(), 15);
  EXPECT_EQ(m.MasterOut->GetValue(), top * 3 / 4);
  m.B_PTTMouseUp();
  Run(100);
  EXPECT_EQ(box_->LastCommand(), 9);
  EXPECT_EQ(m.MasterOut->GetValue(), top / 4);
  m.Volume->SetValue(top / 2);  // the operator turns the knob
  EXPECT_EQ(m.MasterOut->GetValue(), top / 2);
}

}  // namespace

// The browser front's receive audio is the line as the operator hears it: sound from the
// capture while the squelch holds the line open, silence (and the device left alone) while it
// is shut, nothing at all once the last page has gone.
TEST_F(SoundStation, PagesHearTheLineOnlyWhileTheSquelchOpensIt) {
  TMain& m = StartConnected();
  app::RemoteLink link(m.Station());
  int64_t silent = 0, heard = 0, calls = 0;
  int peak = 0;
  link.SetAudioSink([&](const int16_t* pcm, size_t n, int64_t, bool quiet) {
    ++calls;
    (quiet ? silent : heard) += static_cast<int64_t>(n);
    for (size_t i = 0; i < n; ++i) {
      if (quiet) {
        EXPECT_EQ(pcm[i], 0);
      }
      peak = std::max(peak, std::abs(int(pcm[i])));
    }
  });
  auto runUntil = [&](auto done) {
    for (int i = 0; i < 20000 && !done(); ++i) StepMs();
    return done();
  };
  box_->SetSignal(9, 20);
  ASSERT_TRUE(runUntil([&] { return m.LineMute->isChecked(); }));
  Run(40);
  silent = heard = 0;
  ASSERT_TRUE(runUntil([&] { return silent >= 4410; }));
  EXPECT_EQ(heard, 0);
  EXPECT_EQ(card_->OpenStreams(), 0) << "a shut line takes no device";

  box_->SetSignal(9, 80);
  radio_->Receiver().CallTone(1000, 0, 30000, 0.3);
  ASSERT_TRUE(runUntil([&] { return heard >= 8820 && peak > 5000; }));
  EXPECT_FALSE(m.LineMute->isChecked());

  box_->SetSignal(9, 20);
  ASSERT_TRUE(runUntil([&] { return m.LineMute->isChecked(); }));
  const int64_t silentBefore = silent;
  ASSERT_TRUE(runUntil([&] { return silent >= silentBefore + 4410; }));
  EXPECT_EQ(card_->OpenStreams(), 0);

  link.SetAudioSink(nullptr);
  const int64_t before = calls;
  Run(200);
  EXPECT_EQ(calls, before);
  main_.reset();
}

// On a card that takes one capture stream (`hw:`), a page listening and the armed mailbox
// share the station's one capture: four callers in a row are each recorded whole while the page
// hears the line, and the card never sees a second capture.
TEST_F(SoundStation, OnACardThatTakesOneCaptureThePageAndTheMailboxShareIt) {
  card_->ExclusiveCapture = true;
  TMain& m = StartConnected();
  int stamp = 0;
  m.Station().DateTimeTexts = [&stamp] {
    return std::make_pair(std::string("06.12.2026"), "14:30:0" + std::to_string(stamp++));
  };
  m.Station().Einstellungen.MaxAufnahmezeit = 2;
  app::RemoteLink link(m.Station());
  int peak = 0;
  int64_t heard = 0;
  link.SetAudioSink([&](const int16_t* pcm, size_t n, int64_t, bool quiet) {
    if (quiet) return;
    heard += static_cast<int64_t>(n);
    for (size_t i = 0; i < n; ++i) peak = std::max(peak, std::abs(int(pcm[i])));
  });
  auto runUntil = [&](auto done) {
    for (int i = 0; i < 20000 && !done(); ++i) StepMs();
    return done();
  };
  Run(1100);
  m.DTMF_RecClick();
  box_->SetSignal(9, 90);  // the squelch opens: the page's listener joins the mailbox's
  for (int call = 0; call < 4; ++call) {
    radio_->Receiver().CallDtmf("3456");
    radio_->Receiver().CallTone(440, 0, 1500, 0.3);
    ASSERT_TRUE(runUntil([&] { return m.RecLED->GetEnabled(); })) << "call " << call;
    ASSERT_TRUE(runUntil([&] { return !m.RecLED->GetEnabled(); })) << "call " << call;
    Run(800);  // the decoder ends the last line after half a second without a digit
  }
  int recorded = 0;
  for (const auto& f : fs::directory_iterator(root_ / "Kanalo"))
    if (f.path().extension() == ".Wav") {
      ++recorded;
      EXPECT_GT(fs::file_size(f.path()), 88200u) << f.path() << ": a second of sound at least";
    }
  EXPECT_EQ(recorded, 4);
  EXPECT_GT(heard, 4 * 44100);
  EXPECT_GT(peak, 3000) << "the page hears the callers";
  EXPECT_TRUE(errors_.messages.empty()) << errors_.messages.front();
  EXPECT_EQ(m.Station().Capture.Subscribers(), 2) << "the decoder listens again, the page too";
  link.SetAudioSink(nullptr);
  main_.reset();
}
