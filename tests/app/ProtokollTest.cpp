// The station's log: its file format read back as a spreadsheet would, the writer at its worst
// (a slow disk, a file that is not ours, a folder that cannot be written), the events of the
// station on the simulated box and sound, the notifications seen on a private session bus, and
// the log window.
#include <signal.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <cstdio>
#include <fstream>
#include <random>

#include "analysis/MMConect.h"
#include "app/LogWindow.h"
#include "app/Notify.h"
#include "app/Protokoll.h"
#include "app/StationLog.h"
#include "platform/mixer/Sim.h"
#include "platform/wave/VirtualCard.h"
#include "sim/RadioAudio.h"
#include "tests/app/StationFixture.h"

using namespace stationtest;
using app::TLogEntry;
using app::TLogKind;
using platform::wave::TVirtualSoundCard;

namespace {

std::vector<std::string> Lines(const fs::path& p) {
  std::ifstream in(p);
  std::vector<std::string> out;
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

QDateTime At(int h, int m, int s, int offsetMin = 60) {
  return QDateTime(QDate(2026, 12, 7), QTime(h, m, s), Qt::OffsetFromUTC, offsetMin * 60);
}

// --- The format --------------------------------------------------------------------------------

TEST(ProtokollFormat, LinesAsASpreadsheetReadsThem) {
  struct Case {
    TLogEntry e;
    std::string line;
  };
  const Case cases[] = {
      {{At(14, 30, 5), TLogKind::Selektivruf, 9, 87, "2345", -1, "", "eigene Nummer"},
       "2026-12-07T14:30:05+01:00;Selektivruf;9;87;2345;;;eigene Nummer"},
      {{At(14, 30, 6, -330), TLogKind::Mailbox, 9, -1, "", 12345, "C:\\Kanalo\\1.Wav", ""},
       "2026-12-07T14:30:06-05:30;Mailbox;9;;;12345;C:\\Kanalo\\1.Wav;"},
      {{At(0, 0, 0, 0), TLogKind::Fehler, -1, -1, "", -1, "", "a;b \"c\""},
       "2026-12-07T00:00:00+00:00;Fehler;;;;;;\"a;b \"\"c\"\"\""},
      {{At(1, 2, 3), TLogKind::Fehler, -1, -1, "", -1, "", "kanalo.conf:\nZeile 3"},
       "2026-12-07T01:02:03+01:00;Fehler;;;;;;kanalo.conf: / Zeile 3"},
      {{At(1, 2, 3), TLogKind::Senden, 40, -1, "", 0, "", "Funkgerät (CTS)"},
       "2026-12-07T01:02:03+01:00;Senden;40;;;0;;Funkgerät (CTS)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(app::FormatLogLine(c.e), c.line);
    auto back = app::ParseLogLine(c.line);
    ASSERT_TRUE(back);
    TLogEntry want = c.e;
    if (want.Hinweis.find('\n') != std::string::npos) want.Hinweis = "kanalo.conf: / Zeile 3";
    EXPECT_EQ(back->Zeit, want.Zeit);
    EXPECT_EQ(back->Zeit.offsetFromUtc(), want.Zeit.offsetFromUtc());
    EXPECT_EQ(app::FormatLogLine(*back), c.line);
  }
  EXPECT_EQ(app::SplitLogLine(app::kLogHeader).size(), 8u);
  for (const char* bad :
       {app::kLogHeader, "", "2026-12-07T14:30:05+01:00;Funkspruch;;;;;;", "gestern;Senden;;;;;;",
        "2026-12-07T14:30:05+01:00;Senden;x;;;;;", "2026-12-07T14:30:05+01:00;Senden;;;;;"})
    EXPECT_FALSE(app::ParseLogLine(bad)) << bad;
}

// Any text in any field comes back as it went in (line breaks joined), and a line is one line.
TEST(ProtokollFormat, SeededTextsSurviveTheRoundTrip) {
  std::mt19937 rng(16);
  const char* const alphabet[] = {"a", "b", ";", "\"", "\n", " ", "\\", "ä", "1", "2"};
  auto text = [&] {
    std::string s;
    for (int n = rng() % 12; n > 0; --n) s += alphabet[rng() % std::size(alphabet)];
    return s;
  };
  auto joined = [](std::string s) {
    for (size_t p; (p = s.find('\n')) != std::string::npos;) s.replace(p, 1, " / ");
    return s;
  };
  for (int i = 0; i < 500; ++i) {
    TLogEntry e{At(12, 0, i % 60),
                static_cast<TLogKind>(rng() % app::kLogKinds),
                int(rng() % 81) - 1,
                int(rng() % 101) - 1,
                text(),
                int64_t(rng() % 100000) - 1,
                text(),
                text()};
    const std::string line = app::FormatLogLine(e);
    ASSERT_EQ(line.find('\n'), std::string::npos);
    auto back = app::ParseLogLine(line);
    ASSERT_TRUE(back) << line;
    e.Ziffern = joined(e.Ziffern), e.Datei = joined(e.Datei), e.Hinweis = joined(e.Hinweis);
    EXPECT_EQ(*back, e) << line;
  }
}

// The index's quick look at a line and the parser agree (one decides for both), with their
// time and kind: damaged copies of real lines (a byte changed, cut, doubled) decide alike.
TEST(ProtokollFormat, TheIndexTakesALineExactlyWhenTheParserDoes) {
  std::mt19937 rng(4);
  const char bytes[] = "0123456789;\"-+:TZx\r";
  int taken = 0;
  for (int i = 0; i < 4000; ++i) {
    TLogEntry e{At(rng() % 24, rng() % 60, rng() % 60, int(rng() % 1500) - 750),
                static_cast<TLogKind>(rng() % app::kLogKinds),
                int(rng() % 81) - 1,
                int(rng() % 101) - 1,
                "12;3",
                int64_t(rng() % 100000) - 1,
                "",
                "a \"b\""};
    std::string line = app::FormatLogLine(e);
    for (int n = rng() % 3; n > 0; --n) {
      const size_t at = rng() % line.size();
      switch (rng() % 3) {
        case 0:
          line[at] = bytes[rng() % (sizeof bytes - 1)];
          break;
        case 1:
          line.erase(at);
          break;
        default:
          line.insert(at, 1, line[at]);
          break;
      }
      if (line.empty()) break;
    }
    const auto parsed = app::ParseLogLine(line);
    const auto key = app::ScanLogLine(line);
    ASSERT_EQ(bool(parsed), bool(key)) << line;
    if (!parsed) continue;
    ++taken;
    EXPECT_EQ(key->time, parsed->Zeit.toSecsSinceEpoch()) << line;
    EXPECT_EQ(key->kind, int(parsed->Art)) << line;
  }
  EXPECT_GT(taken, 1000);
}

// --- The writer ----------------------------------------------------------------------------------

class ProtokollWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kanalo-log-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(ProtokollWriter, ANewFileGetsTheHeaderAndLinesInOrder) {
  app::TLogWriter w;
  const std::string path = (dir_ / "neu/Protokoll.csv").string();
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(w.Append(path, "Zeile " + std::to_string(i)));
  ASSERT_TRUE(w.Flush());
  auto lines = Lines(path);
  ASSERT_EQ(lines.size(), 21u);
  EXPECT_EQ(lines[0], app::kLogHeader);
  EXPECT_EQ(lines[20], "Zeile 19");
  EXPECT_TRUE(w.TakeProblem().empty());
}

// The first line of a new month moves the month before aside; the new file starts with its
// header; a line of an earlier month (the clock set back) stays in the current file.
TEST_F(ProtokollWriter, TheFirstLineOfANewMonthStartsANewFile) {
  app::TLogWriter w;
  const std::string path = (dir_ / "Protokoll.csv").string();
  auto line = [](int month, int day) {
    TLogEntry e{QDateTime(QDate(2026, month, day), QTime(23, 59, 59), Qt::OffsetFromUTC, 3600),
                TLogKind::Senden,
                9,
                -1,
                "",
                1000,
                "",
                "Taste"};
    return app::FormatLogLine(e);
  };
  for (auto [m, d] : {std::pair{11, 29}, {11, 30}, {12, 1}, {11, 30}, {12, 2}})
    ASSERT_TRUE(w.Append(path, line(m, d)));
  ASSERT_TRUE(w.Flush());
  const auto november = Lines(dir_ / "Protokoll-2026-11.csv");
  const auto december = Lines(path);
  EXPECT_EQ(november, (std::vector<std::string>{app::kLogHeader, line(11, 29), line(11, 30)}));
  EXPECT_EQ(december,
            (std::vector<std::string>{app::kLogHeader, line(12, 1), line(11, 30), line(12, 2)}));
  EXPECT_TRUE(w.TakeProblem().empty());
}

// Each case leaves the file (or what stands in its place) as it was, says so once however many
// lines follow, and the writer goes on with another file.
TEST_F(ProtokollWriter, AFileItCannotUseIsReportedOnceAndLeftAlone) {
  struct Case {
    const char* name;
    std::function<std::string(const fs::path&)> make;  // returns the log path
    const char* says;
  };
  const Case cases[] = {
      {"other format",
       [](const fs::path& d) {
         std::ofstream(d / "Protokoll.csv") << "Datum,Uhrzeit,Rufzeichen\n1,2,3\n";
         return (d / "Protokoll.csv").string();
       },
       "hat ein anderes Format"},
      {"folder is a file",
       [](const fs::path& d) {
         std::ofstream(d / "Kanalo") << "x";
         return (d / "Kanalo/Protokoll.csv").string();
       },
       "kann nicht geschrieben werden"},
      {"file is a folder",
       [](const fs::path& d) {
         fs::create_directories(d / "Protokoll.csv");
         return (d / "Protokoll.csv").string();
       },
       "kann nicht geschrieben werden"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path d = dir_ / c.name;
    fs::create_directories(d);
    const std::string path = c.make(d);
    const auto before = Lines(path);
    app::TLogWriter w;
    for (int i = 0; i < 5; ++i) w.Append(path, "Zeile");
    ASSERT_TRUE(w.Flush());
    EXPECT_NE(w.TakeProblem().find(c.says), std::string::npos);
    EXPECT_EQ(Lines(path), before);
    w.Append(path, "Zeile");
    ASSERT_TRUE(w.Flush());
    EXPECT_EQ(w.TakeProblem(), "");  // once
    const std::string other = (d / "anders.csv").string();
    w.Append(other, "Zeile");
    ASSERT_TRUE(w.Flush());
    EXPECT_EQ(Lines(other).size(), 2u);
  }
}

// A disk that takes long per line: appending returns at once, and what does not fit into the
// queue is dropped and counted; what was queued is written.
TEST_F(ProtokollWriter, ASlowDiskLosesLinesNeverTheCaller) {
  app::TLogWriter w(4);
  w.SetWriteDelayForTests(50);
  const std::string path = (dir_ / "Protokoll.csv").string();
  int taken = 0;
  for (int i = 0; i < 40; ++i) taken += w.Append(path, "Zeile " + std::to_string(i));
  EXPECT_LE(taken, 6);  // the queue's four, and what the thread took meanwhile
  EXPECT_EQ(w.Dropped(), uint64_t(40 - taken));
  w.SetWriteDelayForTests(0);
  ASSERT_TRUE(w.Flush(10000));
  EXPECT_EQ(Lines(path).size(), size_t(taken) + 1);

  // While the thread writes a line, the queue takes exactly its capacity and no more.
  app::TLogWriter held(4);
  held.SetWriteDelayForTests(1000);  // long enough that the appends below all come first
  ASSERT_TRUE(held.Append(path, "in der Hand"));
  ASSERT_TRUE(testsupport::PumpUntil([&] { return held.Queued() == 0; }, 5000));
  int queued = 0;
  for (int i = 0; i < 10; ++i) queued += held.Append(path, "Warte " + std::to_string(i));
  EXPECT_EQ(queued, 4);
  EXPECT_EQ(held.Dropped(), 6u);
  held.SetWriteDelayForTests(0);
  ASSERT_TRUE(held.Flush(10000));
}

// --- The station on the simulated box ----------------------------------------------------------

// The log's suites run on the station fixtures; their own names keep their results apart.
class ProtokollStation : public Station {};

using Src = station::TTxSource;
void Key(TMain& m, Src s, bool on, bool ownSound = false) {
  if (on)
    m.Station().Tx.Hold(s, 1, ownSound);
  else
    m.Station().Tx.Release(s, 1);
}

// One line per transmission, with its channel, length and who keyed it.
TEST_F(ProtokollStation, ATransmissionKeyedAndReleasedGivesOneLineWithItsLength) {
  struct Case {
    const char* source;
    std::function<void(TMain&, sim::KvrBox&, bool)> key;
  };
  const Case cases[] = {
      {"Taste", [](TMain& m, sim::KvrBox&, bool on) { Key(m, Src::Operator, on); }},
      {"Fernbedienung", [](TMain& m, sim::KvrBox&, bool on) { Key(m, Src::Remote, on); }},
      {"Funkgerät (CTS)", [](TMain&, sim::KvrBox& b, bool on) { b.SetPTT(on); }},
      {"Netzwerk", [](TMain& m, sim::KvrBox&, bool on) { Key(m, Src::Client, on); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    TMain& m = StartConnected();
    Tick(2);
    c.key(m, *box_, true);
    Tick(12);
    ASSERT_TRUE(m.Station().TxAktiv);
    EXPECT_TRUE(Log(TLogKind::Senden).empty());  // written when it ends
    c.key(m, *box_, false);
    Tick(3);
    ASSERT_FALSE(m.Station().TxAktiv);
    auto tx = Log(TLogKind::Senden);
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(tx[0].Kanal, 9);
    EXPECT_EQ(tx[0].Hinweis, c.source);
    EXPECT_GE(tx[0].DauerMs, 1100);
    EXPECT_LE(tx[0].DauerMs, 1400);
    main_.reset();
    fs::remove(app::LogFilePath());
  }
}

TEST_F(ProtokollStation, LinkAndScannerStopsAreLogged) {
  TMain& m = StartConnected();
  box_->SetSignal(12, 90);
  m.ScanClick();
  Settle();
  for (int i = 0; i < 200 && m.Station().Einstellungen.ScanModus != 0; ++i) {
    time_->Advance(250);
    rtl::Application().ProcessMessages();
    Tick();
  }
  ASSERT_EQ(m.Station().Einstellungen.ScanModus, 0);
  auto scan = Log(TLogKind::Scanner);
  ASSERT_EQ(scan.size(), 1u);
  EXPECT_EQ(scan[0].Kanal, 12);
  EXPECT_EQ(scan[0].Hinweis, "belegt");
  EXPECT_GT(scan[0].SWert, 50);
  m.Trennen1Click();
  Tick(2);
  auto link = Log(TLogKind::Verbindung);
  ASSERT_EQ(link.size(), 2u);
  EXPECT_EQ(link[0].Hinweis, "getrennt");
  EXPECT_EQ(link[1].Hinweis, "verbunden mit COM1");
}

// A log that cannot be written is one message; polling, keying and releasing go on.
TEST_F(ProtokollStation, ALogFolderThatCannotBeWrittenIsReportedOnceAndTheStationGoesOn) {
  TMain& m = StartConnected();
  // The data folder is replaced by a file under the running station, once the link's line is
  // written (a write in between would make the folder anew).
  app::LogWriter().Flush();
  fs::rename(root_ / "Kanalo", root_ / "Kanalo.alt");
  std::ofstream(root_ / "Kanalo") << "kein Ordner";
  for (int i = 0; i < 3; ++i) {
    m.B_PTTMouseDown();
    Tick(5);
    EXPECT_EQ(box_->LastCommand(), 15);
    m.B_PTTMouseUp();
    Tick(3);
    EXPECT_EQ(box_->LastCommand(), 9);
    app::LogWriter().Flush();
    Tick();
  }
  ASSERT_EQ(errors_.messages.size(), 1u);
  EXPECT_NE(errors_.messages[0].find("Protokoll.csv kann nicht geschrieben werden"),
            std::string::npos);
  EXPECT_TRUE(m.Station().Verbunden);
}

// Errors shown to the operator through the dialog seam are logged (unless "log = no");
// questions are not.
TEST_F(ProtokollStation, ErrorsShownToTheOperatorAreLogged) {
  auto inner = rtl::CurrentDialogs();
  rtl::SetDialogs(app::LogShownErrors(inner));
  rtl::Dialogs().MessageBox("Verbindung zur KVR-Box unterbrochen (COM1)", "Kanalo", rtl::mtError,
                            rtl::mbOK);
  rtl::Dialogs().MessageBox("Die Aufnahme löschen?", "Protokoll", rtl::mtConfirmation,
                            rtl::mbYes | rtl::mbNo);
  platform::HostConfig::Instance().Set("log", "no");
  rtl::Dialogs().MessageBox("Nicht ins Protokoll", "Kanalo", rtl::mtError, rtl::mbOK);
  platform::HostConfig::Instance().Set("log", "yes");
  rtl::SetDialogs(inner);
  EXPECT_EQ(dialogs_->boxes.size(), 3u);  // all were shown
  auto errors = Log(TLogKind::Fehler);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].Hinweis, "Verbindung zur KVR-Box unterbrochen (COM1)");
}

// --- Calls on the simulated sound, notifications on a private session bus ---------------------

// A private session bus of the test's own, and a notification service on it that records what it
// is asked to show.
class NotificationRecorder : public QDBusVirtualObject {
 public:
  struct Shown {
    QString app, summary, body;
  };
  std::vector<Shown> shown;
  bool handleMessage(const QDBusMessage& msg, const QDBusConnection& bus) override {
    if (msg.interface() != "org.freedesktop.Notifications" || msg.member() != "Notify")
      return false;
    const auto a = msg.arguments();
    if (a.size() != 8) return false;
    shown.push_back({a[0].toString(), a[3].toString(), a[4].toString()});
    bus.send(msg.createReply(QVariant::fromValue(uint(shown.size()))));
    return true;
  }
  QString introspect(const QString&) const override { return {}; }
};

class PrivateBus {
 public:
  PrivateBus() {
    std::FILE* p = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
    if (!p) return;
    char line[512];
    if (std::fgets(line, sizeof line, p)) address_ = QString(line).trimmed();
    if (std::fgets(line, sizeof line, p)) pid_ = std::atoi(line);
    ::pclose(p);
    if (address_.isEmpty()) return;
    bus_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address_, "recorder"));
    ok_ = bus_->isConnected() && bus_->registerService("org.freedesktop.Notifications") &&
          bus_->registerVirtualObject("/org/freedesktop/Notifications", &recorder);
  }
  ~PrivateBus() {
    bus_.reset();
    QDBusConnection::disconnectFromBus("recorder");
    if (pid_ > 0) ::kill(pid_, SIGTERM);
  }
  bool Ok() const { return ok_; }
  const QString& Address() const { return address_; }
  NotificationRecorder recorder;

 private:
  QString address_;
  int pid_ = 0;
  bool ok_ = false;
  std::unique_ptr<QDBusConnection> bus_;
};

class ProtokollSound : public SoundStation {
 protected:
  void TearDown() override {
    app::SetNotificationBusAddress("");
    SoundStation::TearDown();
  }
};

TEST_F(ProtokollSound, CallsToTheOwnAndTheMailboxNumberAreLoggedAndNotifiedOnce) {
  PrivateBus bus;
  if (!bus.Ok()) GTEST_SKIP() << "no dbus-daemon to start a private session bus";
  app::SetNotificationBusAddress(bus.Address());
  TMain& m = StartConnected();
  m.Log->WindowActive = [] { return false; };
  m.Station().DateTimeTexts = [] {
    return std::make_pair(std::string("07.12.2026"), std::string("10:00:00"));
  };
  m.Station().Einstellungen.MaxAufnahmezeit = 2;
  m.Station().MailboxArmed = true;
  box_->SetSignal(9, 90);  // the caller's carrier, on the meter well before the digits
  Run(1100);               // the long timer's first firing starts the decoder
  radio_->Receiver().CallDtmf("3456");
  radio_->Receiver().CallTone(440, 0, 3000, 0.3);
  Run(4500);
  ASSERT_FALSE(m.RecLED->GetEnabled());
  m.DTMF_OpenClick();
  Run(400);  // the input and its analysis are running before the caller starts
  radio_->Receiver().CallDtmf("2345");
  Run(1500);
  ASSERT_FALSE(m.DTMF_Open->isChecked());

  auto calls = Log(TLogKind::Selektivruf);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].Ziffern, "2345");
  EXPECT_EQ(calls[0].Hinweis, "eigene Nummer");
  EXPECT_EQ(calls[1].Ziffern, "3456");
  EXPECT_EQ(calls[1].Hinweis, "Mailbox");
  for (const auto& c : calls) {
    EXPECT_EQ(c.Kanal, 9);
    EXPECT_GE(c.SWert, 80) << c.Hinweis;
  }
  auto rec = Log(TLogKind::Mailbox);
  ASSERT_EQ(rec.size(), 1u);
  EXPECT_EQ(rec[0].Datei, "C:\\Kanalo\\20261207100000.Wav");
  EXPECT_GE(rec[0].DauerMs, 1000);
  EXPECT_LE(rec[0].DauerMs, 2100);

  ASSERT_TRUE(testsupport::PumpUntil(
      [&] {
        QCoreApplication::processEvents();
        return bus.recorder.shown.size() >= 2;
      },
      10000));
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  ASSERT_EQ(bus.recorder.shown.size(), 2u);
  EXPECT_EQ(bus.recorder.shown[0].app, "Kanalo");
  EXPECT_EQ(bus.recorder.shown[0].summary, "Anruf für die Mailbox 3456");
  EXPECT_EQ(bus.recorder.shown[1].summary, "Selektivruf 2345");
  EXPECT_TRUE(bus.recorder.shown[1].body.startsWith("Kanal 9, S "));
}

// The card goes away while the mailbox records: the recording is in the log with what it holds.
TEST_F(ProtokollSound, ARecordingCutShortByAFailedInputIsLogged) {
  TMain& m = StartConnected();
  LoseTheInputWhileTheMailboxRecords(m);
  if (HasFatalFailure()) return;
  ASSERT_FALSE(m.RecLED->GetEnabled());
  auto rec = Log(TLogKind::Mailbox);
  ASSERT_EQ(rec.size(), 1u);
  EXPECT_GE(rec[0].DauerMs, 500);
  EXPECT_LE(rec[0].DauerMs, 2300);
  EXPECT_EQ(Log(TLogKind::Fehler).size(), 0u);  // errors are logged where they are shown
}

// An operator at the window, "notify = no", or no bus at all: no notification, and nothing said.
struct QuietCase {
  const char* name;
  bool active;
  const char* notify;
  bool busThere;
};

class ProtokollQuiet : public ProtokollSound, public ::testing::WithParamInterface<QuietCase> {};

TEST_P(ProtokollQuiet, NoNotificationAndNothingSaid) {
  const QuietCase& c = GetParam();
  PrivateBus bus;
  if (!bus.Ok()) GTEST_SKIP() << "no dbus-daemon to start a private session bus";
  auto& conf = platform::HostConfig::Instance();
  conf.Set("notify", c.notify);
  app::SetNotificationBusAddress(c.busThere ? bus.Address() : "unix:path=/nonexistent/kanalo-bus");
  TMain& m = StartConnected();
  m.Log->WindowActive = [a = c.active] { return a; };
  m.DTMF_OpenClick();
  box_->SetSignal(9, 90);
  Run(400);  // the input and its analysis are running before the caller starts
  radio_->Receiver().CallDtmf("2345");
  Run(1500);
  conf.Set("notify", "yes");
  ASSERT_FALSE(m.DTMF_Open->isChecked())
      << m.L_A->text().toStdString() << "|" << m.L_M->text().toStdString();
  EXPECT_EQ(Log(TLogKind::Selektivruf).size(), 1u);
  for (int i = 0; i < 50; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_TRUE(bus.recorder.shown.empty());
  EXPECT_TRUE(errors_.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, ProtokollQuiet,
                         ::testing::Values(QuietCase{"WindowActive", true, "yes", true},
                                           QuietCase{"NotifyNo", false, "no", true},
                                           QuietCase{"NoSessionBus", false, "yes", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The window -----------------------------------------------------------------------------

// The mailbox file of a recording that began at `t`, as the station names it.
std::string Stamp(const QDateTime& t) {
  return "C:\\Kanalo\\" + t.toString("yyyyMMddhhmmss").toStdString() + ".Wav";
}

// A day at the station (yesterday), written as the station writes it.
void WriteADay(const fs::path& root) {
  const QDateTime day(QDate::currentDate().addDays(-1), QTime(6, 10, 4));
  auto t = [&](int h, int m) { return day.addSecs(h * 3600 + m * 60); };
  const TLogEntry day1[] = {
      {t(0, 0), TLogKind::Verbindung, -1, -1, "", -1, "", "verbunden mit COM1"},
      {t(0, 12), TLogKind::Scanner, 19, 85, "", -1, "", "belegt"},
      {t(0, 47), TLogKind::Senden, 19, -1, "", 14200, "", "Taste"},
      {t(1, 30), TLogKind::Selektivruf, 9, 72, "2345", -1, "", "eigene Nummer"},
      {t(1, 31), TLogKind::Senden, 9, -1, "", 31800, "", "Funkgerät (CTS)"},
      {t(3, 5), TLogKind::Selektivruf, 9, 66, "3456", -1, "", "Mailbox"},
      {t(3, 5), TLogKind::Mailbox, 9, -1, "", 27400, Stamp(t(3, 5)), ""},
      {t(6, 40), TLogKind::Scanner, 27, 12, "", -1, "", "frei"},
      {t(6, 41), TLogKind::Senden, 27, -1, "", 8900, "", "Netzwerk"},
      {t(9, 2), TLogKind::Fehler, -1, -1, "", -1, "", "Verbindung zur KVR-Box unterbrochen (COM1)"},
      {t(9, 2), TLogKind::Verbindung, -1, -1, "", -1, "", "getrennt"},
      {t(9, 10), TLogKind::Verbindung, -1, -1, "", -1, "", "verbunden mit COM1"},
      {t(14, 18), TLogKind::Selektivruf, 9, 81, "3456", -1, "", "Mailbox"},
      {t(14, 18), TLogKind::Mailbox, 9, -1, "", 60000, Stamp(t(14, 18)), ""},
      {t(15, 2), TLogKind::Senden, 9, -1, "", 3600, "", "Datei"},
  };
  std::ofstream out(root / "Kanalo/Protokoll.csv");
  out << app::kLogHeader << "\n";
  for (const auto& e : day1) out << app::FormatLogLine(e) << "\n";
  out.close();
  app::InstallDefaultDataFiles();
  for (const auto& e : day1)
    if (!e.Datei.empty()) fs::copy_file(root / "Kanalo/Call1.Wav", platform::ToHostPath(e.Datei));
}

TEST_F(ProtokollSound, TheWindowListsPlaysAndDeletes) {
  WriteADay(root_);
  TMain& m = StartConnected();
  Tick();
  ASSERT_NE(m.LogMenu->MenuItem(), nullptr);
  EXPECT_EQ(m.LogMenu->MenuItem()->text(), "Protokoll…");
  m.LogMenu->MenuItem()->trigger();
  app::TLogWindow* w = m.LogMenu->Window();
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(testsupport::PumpUntil([&] { return w->Loaded(); }, 10000));
  ASSERT_EQ(w->Rows(), 16);  // the day and this start's link
  for (int i = 1; i < w->Rows(); ++i) EXPECT_GE(w->Entry(i - 1).Zeit, w->Entry(i).Zeit);
  EXPECT_EQ(w->Entry(0).Hinweis, "verbunden mit COM1");
  w->Filter->setCurrentIndex(1 + int(TLogKind::Mailbox));
  ASSERT_EQ(w->Rows(), 2);
  EXPECT_EQ(w->Table->model()->rowCount(), 2);
  const std::string second = w->Entry(0).Datei, first = w->Entry(1).Datei;
  EXPECT_EQ(second.substr(0, 11), "C:\\Kanalo\\2");
  auto cell = [w](int r, int c) { return w->Table->model()->index(r, c).data().toString(); };
  EXPECT_EQ(cell(0, 6).toStdString(), second);
  EXPECT_EQ(cell(0, 5), "1:00,0");
  if (const char* dir = std::getenv("KANALO_SCREENSHOT_DIR")) {
    w->Filter->setCurrentIndex(0);
    w->resize(900, 470);
    w->Table->setCurrentIndex(w->Table->model()->index(2, 0));
    w->grab().save(QString(dir) + "/log-window.png");
    w->Filter->setCurrentIndex(1 + int(TLogKind::Mailbox));
  }

  // A double click plays the recording through the station's player, as "Mailbox abhören" does.
  Q_EMIT w->Table->doubleClicked(w->Table->model()->index(1, 0));
  EXPECT_TRUE(m.Station().WavTimer->Enabled());
  EXPECT_TRUE(m.Station().Einstellungen.LineStumm);
  EXPECT_TRUE(dialogs_->fileDialogs.empty());  // the operator was not asked for a file
  EXPECT_EQ(m.Station().SoundWave->Wave()->GetFileName(), platform::ToHostPath(first));
  Run(1000);
  EXPECT_FALSE(m.Station().WavTimer->Enabled());  // played to its end

  // Deleting asks first; "Nein" keeps the file.
  dialogs_->boxAnswer = rtl::mrNo;
  EXPECT_FALSE(w->Delete(0));
  EXPECT_TRUE(fs::exists(platform::ToHostPath(second)));
  dialogs_->boxAnswer = rtl::mrYes;
  EXPECT_TRUE(w->Delete(0));
  EXPECT_FALSE(fs::exists(platform::ToHostPath(second)));
  ASSERT_EQ(dialogs_->boxes.size(), 2u);
  EXPECT_EQ(dialogs_->boxes[1].text, "Die Aufnahme " + second + " löschen?");
  EXPECT_EQ(cell(0, 7), "gelöscht");
  EXPECT_FALSE(w->Play(0));
  EXPECT_FALSE(w->Delete(0));
  EXPECT_TRUE(fs::exists(platform::ToHostPath(first)));
}

// --- The log of months and years ---------------------------------------------------------------

// A log of an earlier month found at start-up is moved aside before the first line of this run.
TEST_F(ProtokollStation, StartUpMovesAnEarlierMonthAside) {
  const QDateTime before = QDateTime::currentDateTime().addMonths(-1);
  const std::string old =
      app::FormatLogLine({before, TLogKind::Senden, 9, -1, "", 1000, "", "Taste"});
  std::ofstream(root_ / "Kanalo/Protokoll.csv") << app::kLogHeader << "\n" << old << "\n";
  StartConnected();
  app::LogWriter().Flush();
  const fs::path aside =
      root_ / ("Kanalo/Protokoll-" + before.toString("yyyy-MM").toStdString() + ".csv");
  EXPECT_EQ(Lines(aside), (std::vector<std::string>{app::kLogHeader, old}));
  const auto now = Lines(root_ / "Kanalo/Protokoll.csv");
  ASSERT_EQ(now.size(), 2u);
  EXPECT_NE(now[1].find("verbunden mit COM1"), std::string::npos);
}

// The window over three months of files: every entry once, newest first, read a page at a time;
// the kind and the days choose from all files.
TEST_F(ProtokollStation, TheWindowReadsAcrossTheMonthsAPageAtATime) {
  std::mt19937 rng(7);
  const QDateTime now = QDateTime::currentDateTime();
  std::vector<TLogEntry> written;
  int kinds[app::kLogKinds] = {}, lastDay = 0;
  for (int f = 2; f >= 0; --f) {
    const QDateTime month = now.addMonths(-f);
    const fs::path p =
        root_ / (f == 0 ? std::string("Kanalo/Protokoll.csv")
                        : "Kanalo/Protokoll-" + month.toString("yyyy-MM").toStdString() + ".csv");
    std::ofstream out(p);
    out << app::kLogHeader << "\n";
    // 1500 entries of that month, one a minute up to its last (or up to now).
    for (int i = 1500; i > 0; --i) {
      const QDateTime t = (f == 0 ? now : month).addSecs(-60 * i - 3630);
      TLogEntry e{QDateTime::fromSecsSinceEpoch(t.toSecsSinceEpoch()),
                  static_cast<TLogKind>(rng() % (app::kLogKinds - 1)),  // no Fehler: the start's
                  int(rng() % 40) + 1,
                  -1,
                  "",
                  int64_t(rng() % 9000),
                  "",
                  "Zeile " + std::to_string(written.size())};
      out << app::FormatLogLine(e) << "\n";
      ++kinds[int(e.Art)];
      lastDay += e.Zeit >= now.addDays(-1);
      written.push_back(e);
    }
  }
  TMain& m = Start();
  m.LogMenu->ShowWindow();
  app::TLogWindow* w = m.LogMenu->Window();
  w->Tage->setValue(3650);
  // A page read while the index fills in (the newest file first) is read again when rows follow.
  ASSERT_TRUE(testsupport::PumpUntil([&] { return w->Rows() > 0; }, 20000));
  EXPECT_EQ(w->Entry(w->Rows() - 1).Hinweis.substr(0, 6), "Zeile ");
  ASSERT_TRUE(testsupport::PumpUntil([&] { return w->Loaded(); }, 20000));
  ASSERT_EQ(w->Rows(), int(written.size()));
  EXPECT_LE(w->Model().PagesRead(), 2);  // what the view showed, not the files
  for (int r = 0; r < w->Rows(); ++r) {
    const TLogEntry e = w->Entry(r);
    ASSERT_EQ(e, written[written.size() - 1 - r]) << r;
  }
  for (int k = 0; k < app::kLogKinds; ++k) {
    w->Filter->setCurrentIndex(1 + k);
    ASSERT_EQ(w->Rows(), kinds[k]) << k;
    for (int r = 0; r < w->Rows(); r += 97) EXPECT_EQ(int(w->Entry(r).Art), k);
  }
  w->Filter->setCurrentIndex(0);
  w->Tage->setValue(1);
  ASSERT_TRUE(testsupport::PumpUntil([&] { return w->Loaded(); }, 20000));
  EXPECT_EQ(w->Rows(), lastDay);
}

// A log disk that hangs holds neither the station nor the window: keying and releasing go on,
// the window opens at once and fills in when the disk is back, with the lines that waited.
TEST_F(ProtokollStation, ALogDiskThatHangsHoldsNeitherTheStationNorTheWindow) {
  TMain& m = StartConnected();
  app::LogWriter().Flush();
  app::LogWriter().HoldForTests(true);
  struct Release {
    ~Release() { app::LogWriter().HoldForTests(false); }
  } release;
  m.B_PTTMouseDown();
  Tick(5);
  EXPECT_EQ(box_->LastCommand(), 15);
  m.B_PTTMouseUp();
  Tick(3);
  EXPECT_EQ(box_->LastCommand(), 9);
  EXPECT_EQ(app::LogWriter().Queued(), 1u);  // the transmission waits for the disk
  m.LogMenu->ShowWindow();
  app::TLogWindow* w = m.LogMenu->Window();
  EXPECT_TRUE(w->isVisible());
  EXPECT_FALSE(w->Loaded());
  EXPECT_EQ(w->Status->text(), "wird gelesen …");
  Tick(3);  // the station goes on while the window waits
  EXPECT_TRUE(m.Station().Verbunden);
  app::LogWriter().HoldForTests(false);
  // The index is done on its own thread; the window hears of it with the last progress message.
  ASSERT_TRUE(
      testsupport::PumpUntil([&] { return w->Loaded() && w->Status->text().isEmpty(); }, 20000));
  ASSERT_EQ(w->Rows(), 2);
  EXPECT_EQ(w->Entry(0).Art, TLogKind::Senden);
}

}  // namespace
