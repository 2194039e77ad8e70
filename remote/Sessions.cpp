#include "remote/Sessions.h"

#include <openssl/rand.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "platform/MMTimer.h"

namespace remote {

namespace {
int64_t Now() {
  return platform::Clock().Milliseconds();
}
}  // namespace

std::string SessionTable::Create(Role role, const std::string& address) {
  Expire();
  if (byToken_.size() >= kMaxSessions) {
    auto victim = byToken_.end();
    for (auto it = byToken_.begin(); it != byToken_.end(); ++it)
      if (it->second.sockets == 0 &&
          (victim == byToken_.end() || it->second.lastUsedMs < victim->second.lastUsedMs))
        victim = it;
    if (victim == byToken_.end()) return {};
    byToken_.erase(victim);
  }
  unsigned char raw[32];
  if (RAND_bytes(raw, sizeof raw) != 1) return {};
  static const char* hex = "0123456789abcdef";
  std::string token;
  for (unsigned char b : raw) {
    token += hex[b >> 4];
    token += hex[b & 15];
  }
  Session s;
  s.id = nextId_++;
  s.role = role;
  s.address = address;
  s.createdMs = s.lastUsedMs = Now();
  byToken_[token] = s;
  return token;
}

Session* SessionTable::Find(const std::string& token) {
  if (token.size() != 64) return nullptr;
  auto it = byToken_.find(token);
  if (it == byToken_.end()) return nullptr;
  const int64_t now = Now();
  const Session& s = it->second;
  if (now - s.createdMs > lifetimeMs_ || (s.sockets == 0 && now - s.lastUsedMs > idleMs_)) {
    byToken_.erase(it);
    return nullptr;
  }
  it->second.lastUsedMs = now;
  return &it->second;
}

void SessionTable::Touch(int id) {
  if (Session* s = ById(id)) s->lastUsedMs = Now();
}

std::vector<int> SessionTable::Clear() {
  std::vector<int> gone;
  for (auto& [token, s] : byToken_) gone.push_back(s.id);
  byToken_.clear();
  return gone;
}

Session* SessionTable::ById(int id) {
  for (auto& [token, s] : byToken_)
    if (s.id == id) return &s;
  return nullptr;
}

int SessionTable::Remove(const std::string& token) {
  auto it = byToken_.find(token);
  if (it == byToken_.end()) return 0;
  const int id = it->second.id;
  byToken_.erase(it);
  return id;
}

Expired SessionTable::Expire() {
  Expired out;
  const int64_t now = Now();
  for (auto it = byToken_.begin(); it != byToken_.end();) {
    Session& s = it->second;
    const bool idle = now - s.lastUsedMs > idleMs_;
    if (now - s.createdMs > lifetimeMs_ || (idle && s.sockets == 0)) {
      out.ended.push_back(s.id);
      it = byToken_.erase(it);
      continue;
    }
    if (idle && s.role == Role::Operator) {
      s.role = Role::Listener;
      out.quieted.push_back(s.id);
    }
    ++it;
  }
  return out;
}

int64_t LoginThrottle::WaitMs(const std::string& address) const {
  auto it = entries_.find(address);
  if (it == entries_.end() || it->second.failures < kFree) return 0;
  const int over = std::min(it->second.failures - kFree, 20);
  const int64_t wait = std::min<int64_t>(kMaxWaitMs, int64_t{2000} << over);
  return std::max<int64_t>(0, it->second.lastMs + wait - Now());
}

void LoginThrottle::Failed(const std::string& address) {
  if (entries_.size() >= kMaxAddresses && !entries_.count(address)) {
    auto oldest = std::min_element(entries_.begin(), entries_.end(), [](auto& a, auto& b) {
      return a.second.lastMs < b.second.lastMs;
    });
    entries_.erase(oldest);
  }
  Entry& e = entries_[address];
  ++e.failures;
  e.lastMs = Now();
}

void LoginThrottle::Succeeded(const std::string& address) {
  entries_.erase(address);
}

int LoginThrottle::Failures(const std::string& address) const {
  auto it = entries_.find(address);
  return it == entries_.end() ? 0 : it->second.failures;
}

}  // namespace remote
