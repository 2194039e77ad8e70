// The station as the browser front sees it, read from the window's public state and driven
// through its handlers, as RigLink does for rig control.
//
// The station's events tell the front at once; while pages are connected a comparison every
// 100 ms also catches what changes without an event (knobs, lamps, digits). Each page keys as a
// hold of its own in the station's transmit arbiter (refused while the scanner runs or without
// the box); a page's release ends only its own hold, and a hold the station ended (time-out,
// disconnect) is forgotten, so the page must press again.
// Thread: main thread.
#pragma once

#include <QPointer>
#include <QTimer>
#include <deque>
#include <map>

#include "remote/Station.h"
#include "station/Events.h"

namespace remote {
class RemoteServer;
}

namespace app {

class TMain;

class RemoteLink : public remote::IRemoteStation {
 public:
  explicit RemoteLink(TMain& main);
  ~RemoteLink() override;
  remote::RemoteState State() const override;
  void SetChangedHook(std::function<void()> hook) override;
  remote::Result Up() override;
  remote::Result Down() override;
  remote::Result SetChannelMode(int last) override;
  remote::Result Scan() override;
  remote::Result FreeScan() override;
  remote::Result ScanAuto() override;
  remote::Result Skip() override;
  remote::Result SetSquelch(int level) override;
  remote::Result SetFreeLevel(int level) override;
  remote::Result ArmCall(bool on) override;
  remote::Result ArmMailbox(bool on) override;
  remote::Result SendCall(const std::string& digits) override;
  std::vector<remote::Recording> Recordings() const override;
  std::string RecordingPath(const std::string& name) const override;
  remote::Result PlayRecording(const std::string& name) override;
  std::vector<std::string> RecentLog(int count) const override;
  bool RemoteKey(int session, const std::string& who, std::string* why) override;
  void RemoteRelease(int session) override;

  // A line for the recent entries the pages show (the server's log hook adds its own).
  void AddLog(const std::string& line);

 private:
  // Runs a window handler; an exception becomes the page's error text.
  template <class F>
  remote::Result Run(F&& f);
  void Poll();
  // A station event as a line of the pages' recent entries.
  void Note(const station::TStationEvent& ev);

  TMain& m_;
  QPointer<QObject> alive_;
  std::function<void()> changed_;
  std::map<int, std::string> holders_;  // remote page -> who
  QTimer poll_;
  int subscription_ = 0;
  std::string last_;
  std::deque<std::string> log_;
};

// Starts the browser front when kanalo.conf has remote.listen: loads or makes the certificate,
// prints its fingerprint on standard output, routes the server's log lines to the station's log.
// Says on standard error why it does not start; nothing listens without remote.listen.
void StartRemote(remote::RemoteServer& server, RemoteLink& link);

}  // namespace app
