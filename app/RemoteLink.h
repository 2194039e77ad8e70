// The station as the browser front sees it, read from the station and driven through its
// commands, as RigLink does for rig control.
//
// The station's events tell the front at once; while pages are connected a comparison every
// 100 ms also catches what changes without an event (knobs, lamps, digits). Each page keys as a
// hold of its own in the station's transmit arbiter (refused while the scanner runs or without
// the box); a page's release ends only its own hold, and a hold the station ended (time-out,
// disconnect) is forgotten, so the page must press again. A page's "Rufen" is a hold of its own
// for the station's own sound, as a page's PTT is: it keys, the DTMF digits play, it lets go.
//
// Receive audio: while the server has a sink set (a page is open), the link listens to the
// capture device itself, as the software monitor does, but only while the line is audible to
// the operator (the line mute, which the squelch drives, is off); while it is muted, or the
// device cannot be opened, it hands silence at the same pace. The station's own chain (DTMF_In,
// the recorder) is not touched: the selective call mutes the line while armed, so the two never
// hold the device at once.
// Thread: main thread; the capture's driver thread only copies into a locked queue.
#pragma once

#include <QTimer>
#include <deque>
#include <map>
#include <memory>

#include "remote/Station.h"
#include "station/Station.h"

namespace remote {
class RemoteServer;
}
namespace timers {
class TMMHiTimer;
}

namespace app {

class RemoteVoicePlayer;

class RemoteLink : public remote::IRemoteStation {
 public:
  explicit RemoteLink(station::TStation& station);
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
  remote::Result SendCall(int session, const std::string& digits) override;
  remote::Result Connect(const std::string& port) override;
  remote::Result Disconnect() override;
  std::vector<remote::Recording> Recordings() const override;
  std::string RecordingPath(const std::string& name) const override;
  remote::Result PlayRecording(const std::string& name) override;
  std::vector<std::string> RecentLog(int count) const override;
  bool RemoteKey(int session, const std::string& who, std::string* why) override;
  void RemoteRelease(int session) override;
  void SetAudioSink(AudioSink sink) override;
  void RemoteVoice(int session, const int16_t* pcm, size_t n) override;
  void RemoteVoiceCut(int session) override;

  // A line for the recent entries the pages show (the server's log hook adds its own).
  void AddLog(const std::string& line);

 private:
  // Runs a window handler; an exception becomes the page's error text.
  template <class F>
  remote::Result Run(F&& f);
  void Poll();
  // A station event as a line of the pages' recent entries.
  void Note(const station::TStationEvent& ev);
  struct Capture;
  void AudioTick();
  // A page's "Rufen": waits for the keying, plays the digits, lets go once they have played.
  void CallTick();
  void EndCall(const std::string& why);

  station::TStation& m_;
  station::TStationAlive alive_;  // false once the station is being destroyed
  std::function<void()> changed_;
  std::map<int, std::string> holders_;  // remote page -> who
  QTimer poll_;
  int subscription_ = 0;
  std::string last_;
  std::deque<std::string> log_;
  AudioSink sink_;
  std::unique_ptr<Capture> capture_;
  std::unique_ptr<timers::TMMHiTimer> audioTimer_;  // 20 ms, on the station's timer seam
  int64_t silenceFromUs_ = -1, silenceSent_ = 0;    // the silence handed since the line muted
  int64_t retryAtUs_ = 0;                           // a capture that failed is tried again then
  bool captureFailLogged_ = false;
  std::unique_ptr<RemoteVoicePlayer> voice_;  // a page's voice on the air
  // The call's hold in the arbiter: the page's number, negative (pages hold as themselves).
  int callHold_ = 0;
  bool callPlaying_ = false;  // the digits' sound has started
  int64_t callSinceMs_ = 0;
  QTimer callTimer_;
};

// Starts the browser front when kanalo.conf has remote.listen: loads or makes the certificate,
// prints its fingerprint on standard output, routes the server's log lines to the station's log.
// Says on standard error why it does not start; nothing listens without remote.listen.
void StartRemote(remote::RemoteServer& server, RemoteLink& link);

}  // namespace app
