// What start-up finds wrong and the operator must learn of even when the station was started from
// the desktop menu, where nobody reads stderr: the problems of kanalo.conf and a rig-control port
// that cannot be had. Each is said on stderr, in the log and in a box; the boxes stay small
// whatever the cause (a file of garbage, a megabyte line).
// Thread: main thread.
#pragma once

#include <string>
#include <vector>

class QMessageBox;
class QWidget;

namespace net {
class RigServer;
struct RigServerConfig;
}  // namespace net

namespace app {

// The text of one problem, cut to at most `maxBytes` bytes (at a character boundary, with "…").
std::string ClipReportLine(const std::string& line, size_t maxBytes);

struct TConfigReport {
  std::string box;                 // the one box: the count and the first few problems
  std::vector<std::string> lines;  // stderr and log: the first problems, then how many more
  size_t boxShown = 0;             // how many of `lines` the box shows itself
};
// Builds the report of kanalo.conf's problems: at most `boxLines` problems in the box (each cut
// to a width a screen holds), at most `listLines` in the list, then one line with the rest's count.
// With the `file` the problems name, the box names it once in its heading and its lines begin
// with the setting and its problem, the line number last; the list keeps the whole lines.
TConfigReport BuildConfigReport(const std::vector<std::string>& problems, size_t boxLines = 10,
                                size_t listLines = 100, const std::string& file = {});
// Says the problems (if any): the list on stderr, what the box does not show in the log, then the
// box (modal, through the dialog seam, which logs its own text).
void ReportConfigProblems(const std::vector<std::string>& problems);

// Starts the rig-control server when the configuration enables it. A port that cannot be had is
// said on stderr and in the log (network control is off, the station goes on); returns that text,
// "" when listening or disabled.
std::string StartRigControl(net::RigServer& server, const net::RigServerConfig& cfg);
// The window's: the text in a box that does not hold the window (app/Main.cpp); StartRigControl
// with that box, nullptr when listening or disabled.
QMessageBox* ShowRigControlProblem(const std::string& text, QWidget* parent);
QMessageBox* StartRigControl(net::RigServer& server, const net::RigServerConfig& cfg,
                             QWidget* parent);

}  // namespace app
