// The text protocol that radio programs on Linux use to follow a rig (the one Hamlib's rigctld
// serves and its network rig model speaks), answered for the station.
//
// One command per line; single-letter commands may be chained on one line ("fmv"); values go
// one per line; write commands answer "RPRT n" with Hamlib's negative error numbers. A command
// prefixed with '+', ';', '|' or ',' is answered in the extended form: its name and arguments,
// its labelled values and a closing "RPRT n", separated by a line end ('+') or by the prefix
// itself, the "RPRT n" always ending its line. Where Hamlib's server takes a VFO in its VFO mode,
// a VFO name may follow the command (clients in that mode always send one, "f VFOA"); the radio
// has one VFO, so naming another one is refused. A line holding a control byte (NUL included) is
// refused as a whole, and numbers are plain decimals in range: nothing half-read is run.
// The parser never blocks; one instance serves one client and holds only its flags (quit, VFO
// mode) and a command that waits for the station.
// Thread: main thread (it calls into the station).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace net {

// Hamlib's error numbers, as the clients expect them.
enum RigError {
  RIG_OK = 0,
  RIG_EINVAL = 1,
  RIG_EIO = 6,
  RIG_EPROTO = 8,
  RIG_ERJCTED = 9,  // "Command rejected by the rig": keying while scanning, tuning while busy
  RIG_ENAVAIL = 11,
};

// A station call that has started work which ends later (channel steps): the answer is sent
// when the station reports the work done. Never sent to a client.
constexpr int RIG_PENDING = 1000;

// What the protocol reads and drives in the station.
class IRigStation {
 public:
  virtual ~IRigStation() = default;
  virtual int64_t FrequencyHz() const = 0;  // of the current channel; 0 if unknown
  virtual int Channel() const = 0;
  // Steps to the channel of the current channel mode whose frequency is `hz`; RIG_OK, or
  // RIG_PENDING while the steps run (TuneDone follows), or -RIG_EINVAL when no channel has it,
  // -RIG_EIO when the box cannot be reached, -RIG_ERJCTED when the station cannot step now.
  virtual int TuneToFrequency(int64_t hz) = 0;
  virtual int TuneToChannel(int channel) = 0;
  // After RIG_PENDING: the hook runs (on the main thread) when the steps have ended, and
  // TuneResult() is their result then.
  virtual void SetTuneDoneHook(std::function<void()>) {}
  virtual int TuneResult() const { return RIG_OK; }
  virtual int Ptt() const = 0;  // 0 receive, 1 microphone, 3 own sound
  virtual int SetPtt(int ptt) = 0;
  // PTT from a numbered client; a client's keying ends when ClientGone(client) is called.
  virtual int SetPttFrom(int /*client*/, int ptt) { return SetPtt(ptt); }
  virtual void ClientGone(int /*client*/) {}
  virtual int StrengthDb() const = 0;  // relative to S9
  virtual bool SquelchOpen() const = 0;
  // Whether strength and squelch are of the channel the radio is on: false from a channel change
  // until the box has answered a poll written after it. Polls() counts the station's polls (its
  // ticks), which bound the wait for a fresh reading.
  virtual bool ReadingFresh() const { return true; }
  // Whether there is a reading at all: false while the box has stopped answering, when strength
  // and squelch are refused (RIG_EIO) rather than answered with the last, stale value.
  virtual bool HasReading() const { return true; }
  virtual int64_t Polls() const { return 0; }
  virtual bool AmMode() const { return true; }
};

class RigCtlSession {
 public:
  // The most a single input line is answered with; the commands of a line beyond it are
  // refused (one line of one-byte dump_state requests would otherwise answer 300 bytes per byte).
  static constexpr size_t kMaxAnswer = 2048;

  explicit RigCtlSession(IRigStation& station, int client = 0, bool vfoMode = false)
      : station_(station), client_(client), vfoMode_(vfoMode) {}
  // Answers one line (without its line end; trailing CR and LF are ignored). When a command of the
  // line waits for the station (Waiting()), the answer so far is returned and the rest of the
  // line runs in Resume.
  std::string HandleLine(const std::string& line);
  bool Waiting() const { return waiting_; }
  // The waiting command has ended with `result`: its answer and those of the rest of its line.
  std::string Resume(int result);
  // A strength or squelch reading waits until the station's reading is fresh after a channel
  // change: a client that tunes and reads at once records the new channel's signal, not the old
  // one's. ResumeReading answers it with what the station has then, fresh or not (its owner
  // bounds the wait), and runs the rest of the line.
  bool WaitingForReading() const { return waiting_ && readingWait_; }
  std::string ResumeReading();
  bool Quit() const { return quit_; }

  // The answer to an over-long line.
  static std::string LineTooLong() { return "RPRT -1\n"; }

 private:
  std::string Continue();
  // Runs one command starting at `pos_`; advances `pos_` past it and its arguments.
  void RunOne(std::string& out);
  // The closing answer of a command in the form it was asked in.
  struct Form {
    bool extended = false;
    char separator = '\n';
  };
  static void Report(int code, const Form& form, const std::string& name, const std::string& args,
                     std::string& out);

  IRigStation& station_;
  int client_;
  std::string line_;
  size_t pos_ = 0;
  bool quit_ = false;
  bool vfoMode_ = false;  // asked for with "\set_vfo_opt 1"; answered by "\chk_vfo"
  bool waiting_ = false;
  bool readingWait_ = false;  // the waiting command is a reading, run again on resuming
  bool readingDone_ = false;  // this line has waited for a reading once: the rest does not wait
  Form waitForm_;
  std::string waitName_, waitArgs_;
};

// The state dump that clients read when they connect.
std::string DumpState();

}  // namespace net
