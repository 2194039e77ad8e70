// What start-up says when kanalo.conf is garbage or the rig-control port is taken: one box that
// fits the screen, a bounded list on stderr and in the log, and a port that cannot be had told
// without holding the window.
#include <QMessageBox>
#include <QScreen>
#include <QTcpServer>

#include "app/RigLink.h"
#include "app/StartupReports.h"
#include "net/RigServer.h"
#include "tests/app/StationFixture.h"

using namespace stationtest;

namespace {

bool ValidUtf8(const std::string& s) {
  return QString::fromUtf8(s).toUtf8().toStdString() == s;
}

// n problems as the configuration reports them, one of them a megabyte of garbage with umlauts.
std::vector<std::string> Problems(size_t n) {
  std::vector<std::string> p;
  for (size_t i = 0; i < n; ++i)
    p.push_back("kanalo.conf Zeile " + std::to_string(i + 1) +
                ": keine Zeile \"Schlüssel = Wert\": Müll");
  if (n > 2) {
    p[1] = "kanalo.conf Zeile 2: ";
    for (int i = 0; i < 500000; ++i) p[1] += "ä";
  }
  return p;
}

TEST(StartupReports, AConfigReportIsBoundedWhateverTheFileHolds) {
  struct Case {
    size_t problems, boxLines, listLines;  // listLines: stderr and log, with the count line
    const char* tail;  // the box's last line; empty when the box lists everything
  };
  const Case cases[] = {
      {1, 1, 1, ""},
      {10, 10, 10, ""},
      {11, 10, 11, "… und 1 weitere im Protokoll"},
      {100, 10, 100, "… und 90 weitere im Protokoll"},
      {20000, 10, 101, "… und 19990 weitere; die ersten 100 stehen im Protokoll"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problems);
    const auto problems = Problems(c.problems);
    const app::TConfigReport r = app::BuildConfigReport(problems);
    QStringList box = QString::fromStdString(r.box).split('\n');
    EXPECT_EQ(box.size(), int(c.boxLines + 1 + (*c.tail ? 1 : 0)));
    EXPECT_EQ(box.first().toStdString(),
              c.problems <= 10 ? std::string("kanalo.conf:")
                               : "kanalo.conf: " + std::to_string(c.problems) + " Probleme");
    if (*c.tail) {
      EXPECT_EQ(box.last().toStdString(), c.tail);
    }
    EXPECT_EQ(r.boxShown, c.boxLines);
    EXPECT_LT(r.box.size(), 2000u);
    EXPECT_TRUE(ValidUtf8(r.box));
    EXPECT_EQ(r.lines.size(), c.listLines);
    for (size_t i = 0; i < r.lines.size(); ++i) {
      EXPECT_LE(r.lines[i].size(), 300u);
      EXPECT_TRUE(ValidUtf8(r.lines[i]));
      if (i < 100 && problems[i].size() < 300) {
        EXPECT_EQ(r.lines[i], problems[i]);
      }
    }
    if (c.problems > 100) {
      EXPECT_EQ(r.lines.back(), "kanalo.conf: 19900 weitere Probleme nicht aufgeführt");
    }
  }
  EXPECT_TRUE(app::BuildConfigReport({}).box.empty());
  EXPECT_EQ(app::ClipReportLine("abc", 3), "abc");
  EXPECT_EQ(app::ClipReportLine("abcä", 4), "a…");  // "…" is 3 bytes; the cut never splits "ä"
}

// The box names the file once; each line begins with the setting and its problem, so that the cut
// at a screen's width takes the explanation, not the key.
TEST(StartupReports, TheBoxNamesTheFileOnceAndEachSettingFirst) {
  const std::string file = "/home/operator/.config/kanalo/kanalo.conf";
  std::vector<std::string> problems;
  platform::HostConfig::Parse("rigctl.clients = 9999\nwords\nrigctl.enable = no\n", file, problems);
  problems.push_back(file + ": nicht lesbar; alle Einstellungen behalten ihre Standardwerte");
  problems.push_back("audio.input = hw:9: Gerät nicht verfügbar; es gibt kein Aufnahmegerät");
  const app::TConfigReport r = app::BuildConfigReport(problems, 10, 100, file);
  const QStringList box = QString::fromStdString(r.box).split('\n');
  ASSERT_EQ(box.size(), 6);
  EXPECT_EQ(box[0].toStdString(), file + ":");
  EXPECT_EQ(box[1].toStdString().rfind("rigctl.clients: ungültiger Wert \"9999\"", 0), 0u)
      << box[1].toStdString();
  EXPECT_EQ(box[2].toStdString(), "keine Zeile \"Schlüssel = Wert\": words (Zeile 2)");
  EXPECT_EQ(box[3].toStdString(), "unbekannter Schlüssel \"rigctl.enable\" (Zeile 3)");
  EXPECT_EQ(box[4].toStdString(), "nicht lesbar; alle Einstellungen behalten ihre Standardwerte");
  EXPECT_EQ(box[5].toStdString(), problems[4]);
  EXPECT_EQ(QString::fromStdString(r.box).count(QString::fromStdString(file)), 1);
  EXPECT_EQ(r.lines, problems);  // stderr and the log keep whole lines
}

class StartupReportsStation : public Station {};

// The box as the operator's screen shows it: the OK button on the screen; the log gets the list
// the box leaves out, bounded, and no line of it is the whole file.
TEST_F(StartupReportsStation, TwentyThousandBadLinesGiveOneBoxThatFitsTheScreen) {
  testsupport::EnsureQtApplication<QApplication>();
  const auto problems = Problems(20000);
  const app::TConfigReport r =
      app::BuildConfigReport(problems, 10, 100, platform::HostConfig::DefaultPath());
  QMessageBox shown(QMessageBox::Warning, "Kanalo", QString::fromStdString(r.box));
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE(shown.sizeHint().height(), screen.height());
  EXPECT_LE(shown.sizeHint().width(), screen.width());

  auto inner = rtl::CurrentDialogs();
  rtl::SetDialogs(app::LogShownErrors(inner));
  app::ReportConfigProblems(problems);
  rtl::SetDialogs(inner);
  ASSERT_EQ(dialogs_->boxes.size(), 1u);
  EXPECT_EQ(dialogs_->boxes[0].text, r.box);
  auto logged = Log(app::TLogKind::Fehler);
  ASSERT_EQ(logged.size(), 92u);  // the box, problems 11 to 100, the count of the rest
  for (const auto& e : logged) EXPECT_LT(e.Hinweis.size(), 2000u);
}

// Another program holds the port: the operator is told in a box that does not hold the station,
// and the log says it too; a free port gives no box.
TEST_F(StartupReportsStation, ARigPortThatCannotBeBoundIsToldWithoutHoldingTheWindow) {
  TMain& m = StartConnected();
  QTcpServer other;
  ASSERT_TRUE(other.listen(QHostAddress("127.0.0.1"), 0));
  app::RigLink link(m.Station());
  net::RigServer server(link);
  net::RigServerConfig cfg;
  cfg.port = other.serverPort();
  QMessageBox* box = app::StartRigControl(server, cfg, &m);
  ASSERT_NE(box, nullptr);
  EXPECT_FALSE(server.IsListening());
  EXPECT_TRUE(box->isVisible());
  EXPECT_EQ(box->windowModality(), Qt::NonModal);
  const std::string text =
      "Netzwerksteuerung nicht verfügbar: 127.0.0.1:" + std::to_string(cfg.port) + ": " +
      platform::SystemErrorText(EADDRINUSE);
  EXPECT_EQ(box->text().toStdString(), text);
  EXPECT_TRUE(dialogs_->boxes.empty());  // no modal box through the seam
  m.B_PTTMouseDown();                    // the station goes on under the open box
  Tick(5);
  EXPECT_EQ(box_->LastCommand(), 15);
  m.B_PTTMouseUp();
  Tick(3);
  EXPECT_EQ(box_->LastCommand(), 9);
  auto logged = Log(app::TLogKind::Fehler);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].Hinweis, text);
  delete box;

  cfg.port = 0;
  EXPECT_EQ(app::StartRigControl(server, cfg, &m), nullptr);
  EXPECT_TRUE(server.IsListening());
  cfg.enabled = false;
  server.Close();
  EXPECT_EQ(app::StartRigControl(server, cfg, &m), nullptr);
  EXPECT_FALSE(server.IsListening());
}

}  // namespace
