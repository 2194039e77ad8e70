// Who is logged in, and who may try again: sessions by random token with an idle limit and an
// absolute lifetime, and the per-address brake on failed logins. Time is the platform clock's
// (tests use manual time).
//
// The idle limit counts the operator's actions (requests, commands, presses), never a page's
// heartbeats: an operator who walked away from an open page loses control when it passes (the
// session becomes a listener's, so the page may go on listening). A session without a page goes
// when it passes. Every session goes when its lifetime ends, pages or not.
// Thread: main thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace remote {

enum class Role { Operator, Listener };

struct Session {
  int id = 0;
  Role role = Role::Listener;
  std::string address;
  int64_t createdMs = 0;
  int64_t lastUsedMs = 0;  // the last action
  int sockets = 0;         // open pages
};

// What Expire() found: sessions gone (their pages must close, their PTT let go), and operator
// sessions idle past the limit with a page open (now listeners: their PTT must let go).
struct Expired {
  std::vector<int> ended, quieted;
};

class SessionTable {
 public:
  static constexpr size_t kMaxSessions = 256;
  explicit SessionTable(int64_t idleLimitMs = 30 * 60 * 1000,
                        int64_t lifetimeMs = int64_t{12} * 60 * 60 * 1000)
      : idleMs_(idleLimitMs), lifetimeMs_(lifetimeMs) {}
  // A new session; its token (64 hex digits from the system's random source) goes in the cookie.
  // When the table is full the least recently used session without an open page goes.
  std::string Create(Role role, const std::string& address);
  // The live session of `token` (its idle time starts again: a request is an action), nullptr
  // when unknown or expired (then it is gone).
  Session* Find(const std::string& token);
  Session* ById(int id);
  // An action of the session's operator: its idle time starts again.
  void Touch(int id);
  // Ends the session of `token`; its id, 0 when there was none.
  int Remove(const std::string& token);
  // Ends every session (a new password); returns their ids.
  std::vector<int> Clear();
  Expired Expire();
  size_t Count() const { return byToken_.size(); }
  int64_t IdleLimitMs() const { return idleMs_; }

 private:
  int64_t idleMs_, lifetimeMs_;
  int nextId_ = 1;
  std::map<std::string, Session> byToken_;
};

// Failed logins per address: the first kFree failures cost nothing more than the slow answer;
// then each further try must wait 2, 4, 8 ... seconds after the last failure, up to 15 minutes.
// A success clears the address. At most kMaxAddresses are remembered (the oldest go first), so a
// flood of addresses cannot grow it.
class LoginThrottle {
 public:
  static constexpr int kFree = 3;
  static constexpr size_t kMaxAddresses = 4096;
  static constexpr int64_t kMaxWaitMs = 15 * 60 * 1000;
  // Milliseconds the address must still wait before a try is heard; 0 when it may try now.
  int64_t WaitMs(const std::string& address) const;
  void Failed(const std::string& address);
  void Succeeded(const std::string& address);
  int Failures(const std::string& address) const;

 private:
  struct Entry {
    int failures = 0;
    int64_t lastMs = 0;
  };
  std::map<std::string, Entry> entries_;
};

}  // namespace remote
