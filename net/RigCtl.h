// The text protocol that radio programs on Linux use to follow a rig (the one Hamlib's rigctld
// serves and its network rig model speaks), answered for the station.
//
// One command per line; single-letter commands may be chained on one line ("fmv"); a leading
// '+' asks for the extended, labelled form; values go one per line; write commands answer
// "RPRT n" with Hamlib's negative error numbers. The parser never blocks and holds no state
// beyond the session's "quit" flag, so one instance serves one client.
// Thread: main thread (it calls into the station).
#pragma once

#include <cstdint>
#include <string>

namespace net {

// Hamlib's error numbers, as the clients expect them.
enum RigError {
  RIG_OK = 0,
  RIG_EINVAL = 1,
  RIG_EIO = 6,
  RIG_EPROTO = 8,
  RIG_ENAVAIL = 11,
};

// What the protocol reads and drives in the station.
class IRigStation {
 public:
  virtual ~IRigStation() = default;
  virtual int64_t FrequencyHz() const = 0;  // of the current channel; 0 if unknown
  virtual int Channel() const = 0;
  // Steps to the channel of the current channel mode whose frequency is `hz`; RIG_OK, or
  // -RIG_EINVAL when no channel has it, or -RIG_EIO when the box cannot be reached.
  virtual int TuneToFrequency(int64_t hz) = 0;
  virtual int TuneToChannel(int channel) = 0;
  virtual int Ptt() const = 0;  // 0 receive, 1 microphone, 3 own sound
  virtual int SetPtt(int ptt) = 0;
  virtual int StrengthDb() const = 0;  // relative to S9
  virtual bool SquelchOpen() const = 0;
  virtual bool AmMode() const { return true; }
};

class RigCtlSession {
 public:
  explicit RigCtlSession(IRigStation& station) : station_(station) {}
  // Answers one line (without its line end; a trailing CR is ignored).
  std::string HandleLine(const std::string& line);
  bool Quit() const { return quit_; }

  // The answer to an over-long line.
  static std::string LineTooLong() { return "RPRT -1\n"; }

 private:
  // Runs one command starting at `pos`; advances `pos` past it and its arguments.
  void RunOne(const std::string& line, size_t& pos, bool extended, std::string& out);

  IRigStation& station_;
  bool quit_ = false;
};

// The state dump that clients read when they connect.
std::string DumpState();

}  // namespace net
