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
  virtual Result SendCall(const std::string& digits) = 0;  // 0-9, *, #, A-D; up to 16
  virtual std::vector<Recording> Recordings() const = 0;
  // The host path of a recording named by Recordings(), empty when there is none of that name.
  virtual std::string RecordingPath(const std::string& name) const = 0;
  virtual Result PlayRecording(const std::string& name) = 0;
  virtual std::vector<std::string> RecentLog(int count) const = 0;

  // Keying by one remote session; false with `why` when the station will not key now (scanner
  // running, box not connected, another source's rule). Release always succeeds.
  virtual bool RemoteKey(int session, const std::string& who, std::string* why) = 0;
  virtual void RemoteRelease(int session) = 0;
};

}  // namespace remote
