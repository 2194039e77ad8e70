#include "app/StartupReports.h"

#include <cstdio>

#include "app/Protokoll.h"
#include "net/RigServer.h"
#include "platform/Host.h"
#include "rtl/Dialogs.h"
#include "rtl/SysUtils.h"

namespace app {

namespace {
// A box line wider than this would push the box past a small screen's edge.
constexpr size_t kBoxLineBytes = 100;
// One line on stderr or in the log: long enough for any real problem, short of a garbage line.
constexpr size_t kListLineBytes = 300;

void LogError(const std::string& text) {
  TLogEntry e;
  e.Art = TLogKind::Fehler;
  e.Hinweis = text;
  AppendLog(std::move(e));
}
}  // namespace

std::string ClipReportLine(const std::string& line, size_t maxBytes) {
  if (line.size() <= maxBytes) return line;
  const std::string ellipsis = "…";
  size_t cut = maxBytes > ellipsis.size() ? maxBytes - ellipsis.size() : 0;
  // Never inside a UTF-8 sequence: back up over continuation bytes.
  while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
  return line.substr(0, cut) + ellipsis;
}

std::string BoxLine(const std::string& problem, const std::string& file) {
  // "<file> Zeile N: what" says the file once in the heading and the line number last, so that
  // what comes first is the setting and its problem; "<file>: what" (the whole file) just `what`.
  if (file.empty() || problem.rfind(file, 0) != 0) return problem;
  const std::string rest = problem.substr(file.size());
  if (rest.rfind(": ", 0) == 0) return rest.substr(2);
  const std::string line = " Zeile ";
  const size_t colon = rest.find(": ");
  if (rest.rfind(line, 0) != 0 || colon == std::string::npos) return problem;
  return rest.substr(colon + 2) + " (Zeile " + rest.substr(line.size(), colon - line.size()) + ")";
}

TConfigReport BuildConfigReport(const std::vector<std::string>& problems, size_t boxLines,
                                size_t listLines, const std::string& file) {
  TConfigReport r;
  const size_t n = problems.size();
  if (n == 0) return r;
  r.boxShown = std::min(n, boxLines);
  const std::string head = file.empty() ? "kanalo.conf" : file;
  r.box = n <= boxLines ? head + ":" : head + ": " + std::to_string(n) + " Probleme";
  for (size_t i = 0; i < r.boxShown; ++i)
    r.box += "\n" + ClipReportLine(BoxLine(problems[i], file), kBoxLineBytes);
  const size_t listed = std::min(n, std::max(listLines, r.boxShown));
  if (n > r.boxShown) {
    r.box += "\n… und " + std::to_string(n - r.boxShown) + " weitere";
    r.box += listed < n ? "; die ersten " + std::to_string(listed) + " stehen im Protokoll"
                        : " im Protokoll";
  }
  for (size_t i = 0; i < listed; ++i)
    r.lines.push_back(ClipReportLine(problems[i], kListLineBytes));
  if (listed < n)
    r.lines.push_back("kanalo.conf: " + std::to_string(n - listed) +
                      " weitere Probleme nicht aufgeführt");
  return r;
}

void ReportConfigProblems(const std::vector<std::string>& problems) {
  const TConfigReport r = BuildConfigReport(problems, 10, 100, platform::HostConfig::DefaultPath());
  if (r.box.empty()) return;
  for (size_t i = 0; i < r.lines.size(); ++i) {
    std::fprintf(stderr, "Kanalo: %s\n", rtl::PrintableText(r.lines[i]).c_str());
    if (i >= r.boxShown) LogError(r.lines[i]);
  }
  rtl::Dialogs().MessageBox(r.box, "Kanalo", rtl::mtWarning, rtl::mbOK);
}

std::string StartRigControl(net::RigServer& server, const net::RigServerConfig& cfg) {
  std::string why;
  if (!cfg.enabled || server.Listen(cfg, &why)) return {};
  const std::string where = cfg.address + ":" + std::to_string(cfg.port);
  std::fprintf(stderr, "Kanalo: rig control not available on %s: %s\n", where.c_str(), why.c_str());
  const std::string text = "Netzwerksteuerung nicht verfügbar: " + where + ": " + why;
  LogError(text);
  return text;
}

}  // namespace app
