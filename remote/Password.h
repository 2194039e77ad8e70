// The remote front's password: a salted scrypt hash kept in kanalo.conf as
// "scrypt$N$r$p$SALT$HASH" (salt and hash in base64), so that the file never holds the password
// and a stolen file costs an attacker scrypt's memory and time per guess.
// Thread: any; Hash and Verify take ~0.3 s and 128 MiB at the default cost: the station checks
// logins on PasswordChecker's thread, never on its main thread.
#pragma once

#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace remote {

struct ScryptCost {
  uint64_t n = 1u << 17;
  uint32_t r = 8, p = 1;
};

// A new hash of `password` with a fresh random salt; empty when the library failed.
std::string HashPassword(const std::string& password, ScryptCost cost = {});
// Whether `password` matches `stored`; false for a malformed or too costly `stored` value (a
// hand-edited file must not make each login take minutes or gigabytes).
bool VerifyPassword(const std::string& password, const std::string& stored);
// Whether `stored` has the form HashPassword writes (the host configuration checks it).
bool IsPasswordHash(const std::string& stored);

// Checks passwords one at a time on a thread of its own, so that a flood of logins costs the
// station's main thread nothing: rig control and PTT's let-go keep their time. At most
// kMaxWaiting checks wait besides the one running; Submit refuses more (the caller answers "busy"
// without hashing anything). Results come back queued on `context`'s thread; `context` must
// outlive the checker (its owner): the destructor drops what waits, waits for the check that
// runs (one scrypt at most) and hands back nothing after it.
// Thread: Submit from one thread (the main thread).
class PasswordChecker {
 public:
  static constexpr size_t kMaxWaiting = 4;
  // `match`: the index in `hashes` of the first that `password` matches, -1 for none.
  using Done = std::function<void(int match)>;
  PasswordChecker() = default;
  ~PasswordChecker();
  PasswordChecker(const PasswordChecker&) = delete;
  PasswordChecker& operator=(const PasswordChecker&) = delete;
  bool Submit(std::string password, std::vector<std::string> hashes, QObject* context, Done done);
  // Checks waiting or running.
  size_t Pending() const;

 private:
  struct Job {
    std::string password;
    std::vector<std::string> hashes;
    QObject* context;
    Done done;
  };
  void Run();
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool running_ = false, stop_ = false;
  std::thread thread_;
};

}  // namespace remote
