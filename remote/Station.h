// The station as the browser front sees it: a snapshot of what the radio's front shows, a change
// notification, and the commands a page may give. The front keeps no state of the station's own;
// it reads the snapshot when told of a change and pushes it to every page.
//
// Keying: each remote session is its own source (`session` numbers are the server's). The
// station keys while any source holds and releases when the last one lets go; the server makes
// sure that a page that stops talking lets go (see PttGuard).
// Thread: main thread for every call; Changed() may be called at any time on the main thread,
// also from inside a command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace remote {

struct RemoteState {
  bool linked = false;    // the box answers
  std::string link;       // the link as a text ("COM1", "Nicht verbunden")
  int channel = 0;        // 1..80
  std::string frequency;  // "27.065 "
  int sValue = 0;         // 0..100 (the meter's scale, S9 at 54)
  int squelch = 0;        // level 0..100
  bool squelchOpen = false;
  int freeLevel = 0;     // the scanner's "free" level 0..100
  bool tx = false;       // the transmitter is keyed (whoever keys it)
  std::string txBy;      // "" none, "local", "rig", "remote:NAME", ...
  int remoteHolder = 0;  // the remote session whose PTT holds, 0 none
  // Selective call: lamp colour ("off", "red", "green", "yellow") and the digits.
  std::string callLamp = "off";
  bool callArmed = false;
  std::string lm, la;  // L_M (own number) and L_A (caller)
  bool mailboxArmed = false;
  bool recording = false;
  int scanMode = 0;                        // 0 off, 1 Scan, 2 Free
  bool autoScan = false;                   // "Auto": the scanner goes on by itself after a stop
  int firstChannel = 1, lastChannel = 40;  // the channel mode: 4..15 (1-15), 1..40, 1..80
  std::vector<int> band;                   // S value per channel firstChannel..lastChannel
  int timeoutSeconds = 0;                  // the transmit time-out, 0 none
  bool calling = false;                    // a page's "Rufen" is keyed and plays
};

struct Recording {
  std::string name;  // file name, no path
  int64_t bytes = 0;
  std::string when;  // "2024-05-01 12:00"
};

// Result of a command: empty on success, otherwise a German text for the page.
using Result = std::string;

class IRemoteStation {
 public:
  virtual ~IRemoteStation() = default;
  virtual RemoteState State() const = 0;
  // The station calls this hook (main thread) whenever anything in State() may have changed.
  virtual void SetChangedHook(std::function<void()> hook) = 0;

  virtual Result Up() = 0;
  virtual Result Down() = 0;
  virtual Result SetChannelMode(int lastChannel) = 0;  // 15, 40 or 80
  virtual Result Scan() = 0;
  virtual Result FreeScan() = 0;
  virtual Result ScanAuto() = 0;
  virtual Result Skip() = 0;
  virtual Result SetSquelch(int level) = 0;  // 0..100
  virtual Result SetFreeLevel(int level) = 0;
  virtual Result ArmCall(bool on) = 0;
  virtual Result ArmMailbox(bool on) = 0;
  // "Rufen": keys the transmitter for the station's own sound (refused as RemoteKey is), plays
  // the digits as DTMF and lets go when they have played. `session`: the page's number.
  virtual Result SendCall(int session, const std::string& digits) = 0;  // 0-9, *, #, A-D; 1-16
  // The box: "COM1" or "COM2" as the window's menu connects, and its "Trennen".
  virtual Result Connect(const std::string& port) = 0;
  virtual Result Disconnect() = 0;
  virtual std::vector<Recording> Recordings() const = 0;
  // The host path of a recording named by Recordings(), empty when there is none of that name.
  virtual std::string RecordingPath(const std::string& name) const = 0;
  virtual Result PlayRecording(const std::string& name) = 0;
  virtual std::vector<std::string> RecentLog(int count) const = 0;

  // Keying by one remote session; false with `why` when the station will not key now (scanner
  // running, box not connected, another source's rule). Release always succeeds.
  // A remote hold keys the transmitter for the computer's own sound, as a "Tx" file does: the
  // page's voice (RemoteVoice) goes on the air, never the station's microphone.
  virtual bool RemoteKey(int session, const std::string& who, std::string* why) = 0;
  // The page let go. The voice it sent before still plays (at most kVoiceDrainMs more); the
  // transmitter lets go once it has, so the last word is not cut off.
  virtual void RemoteRelease(int session) = 0;

  // The voice of the session that holds, as it arrives from its page: 16-bit mono 44100 Hz
  // blocks of any length, in order. Voice for a session that does not hold (it came after the
  // release) is dropped, never played later. A station without sound ignores it.
  static constexpr int kVoiceDrainMs = 300;
  virtual void RemoteVoice(int session, const int16_t* pcm, size_t n) {
    (void)session;
    (void)pcm;
    (void)n;
  }
  // The session's page is gone without letting go (socket closed, heartbeats missing, page
  // hidden): what it sent and has not played yet is thrown away, and its release (which
  // follows) lets go at once.
  virtual void RemoteVoiceCut(int session) { (void)session; }

  // Received audio, as the operator at the station hears it: 16-bit mono 44100 Hz blocks of
  // any length, `captureUs` the capture time of the first sample on the monotonic clock,
  // `silent` true while the squelch (the line mute) keeps the line shut; the block is then
  // zeros. The front sets a sink while pages listen and clears it (nullptr) when the last one
  // goes: a station with a sink set keeps handing blocks, silence included, at the capture's
  // pace; without one it need not capture for the front at all. Main thread only, never from
  // inside the sink. A station without sound ignores it.
  using AudioSink =
      std::function<void(const int16_t* pcm, size_t n, int64_t captureUs, bool silent)>;
  virtual void SetAudioSink(AudioSink sink) { (void)sink; }
};

}  // namespace remote
