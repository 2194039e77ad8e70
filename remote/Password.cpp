#include "remote/Password.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <QByteArray>
#include <QMetaObject>
#include <cstdint>
#include <optional>
#include <vector>

namespace remote {

namespace {

constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
constexpr uint64_t kMaxMemory = 256ull * 1024 * 1024;

struct Parsed {
  ScryptCost cost;
  QByteArray salt, hash;
};

std::optional<uint64_t> Number(const std::string& s, uint64_t max) {
  if (s.empty() || s.size() > 10) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v == 0 || v > max) return std::nullopt;
  return v;
}

std::optional<Parsed> Parse(const std::string& stored) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t d = stored.find('$', start);
    parts.push_back(stored.substr(start, d == std::string::npos ? d : d - start));
    if (d == std::string::npos) break;
    start = d + 1;
  }
  if (parts.size() != 6 || parts[0] != "scrypt") return std::nullopt;
  auto n = Number(parts[1], 1u << 20), r = Number(parts[2], 32), p = Number(parts[3], 16);
  if (!n || !r || !p || (*n & (*n - 1)) != 0 || *n < 2) return std::nullopt;
  // scrypt needs 128 * N * r bytes; refuse what would exceed our bound rather than fail later.
  if (128ull * *n * *r > kMaxMemory / 2) return std::nullopt;
  Parsed out;
  out.cost = {*n, static_cast<uint32_t>(*r), static_cast<uint32_t>(*p)};
  auto decode = [](const std::string& s, QByteArray& to) {
    auto r = QByteArray::fromBase64Encoding(QByteArray::fromStdString(s),
                                            QByteArray::AbortOnBase64DecodingErrors);
    if (!r) return false;
    to = *r;
    return true;
  };
  if (!decode(parts[4], out.salt) || !decode(parts[5], out.hash)) return std::nullopt;
  if (out.salt.size() < 8 || out.hash.size() != static_cast<int>(kHashBytes)) return std::nullopt;
  return out;
}

bool Derive(const std::string& password, const QByteArray& salt, const ScryptCost& c,
            unsigned char* key) {
  return EVP_PBE_scrypt(password.data(), password.size(),
                        reinterpret_cast<const unsigned char*>(salt.constData()),
                        static_cast<size_t>(salt.size()), c.n, c.r, c.p, kMaxMemory, key,
                        kHashBytes) == 1;
}

}  // namespace

std::string HashPassword(const std::string& password, ScryptCost cost) {
  QByteArray salt(kSaltBytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), kSaltBytes) != 1) return {};
  unsigned char key[kHashBytes];
  if (!Derive(password, salt, cost, key)) return {};
  QByteArray hash(reinterpret_cast<const char*>(key), kHashBytes);
  OPENSSL_cleanse(key, sizeof key);
  return "scrypt$" + std::to_string(cost.n) + "$" + std::to_string(cost.r) + "$" +
         std::to_string(cost.p) + "$" + salt.toBase64().toStdString() + "$" +
         hash.toBase64().toStdString();
}

bool VerifyPassword(const std::string& password, const std::string& stored) {
  auto parsed = Parse(stored);
  if (!parsed) return false;
  unsigned char key[kHashBytes];
  if (!Derive(password, parsed->salt, parsed->cost, key)) return false;
  const bool same = CRYPTO_memcmp(key, parsed->hash.constData(), kHashBytes) == 0;
  OPENSSL_cleanse(key, sizeof key);
  return same;
}

bool IsPasswordHash(const std::string& stored) {
  return Parse(stored).has_value();
}

PasswordChecker::~PasswordChecker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    for (Job& j : jobs_) OPENSSL_cleanse(j.password.data(), j.password.size());
    jobs_.clear();
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool PasswordChecker::Submit(std::string password, std::vector<std::string> hashes,
                             QObject* context, Done done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.size() >= kMaxWaiting) {
      OPENSSL_cleanse(password.data(), password.size());
      return false;
    }
    jobs_.push_back({std::move(password), std::move(hashes), context, std::move(done)});
  }
  // Started on the first login: a station nobody logs into has no thread for it.
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  wake_.notify_one();
  return true;
}

size_t PasswordChecker::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size() + (running_ ? 1 : 0);
}

void PasswordChecker::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
    if (stop_) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    running_ = true;
    lock.unlock();
    int match = -1;
    for (size_t i = 0; i < job.hashes.size() && match < 0; ++i)
      if (!job.hashes[i].empty() && VerifyPassword(job.password, job.hashes[i]))
        match = static_cast<int>(i);
    OPENSSL_cleanse(job.password.data(), job.password.size());
    // Handed over while the lock is held: the destructor cannot have let go of `context` yet.
    lock.lock();
    running_ = false;
    if (stop_) return;
    QMetaObject::invokeMethod(
        job.context, [done = std::move(job.done), match] { done(match); }, Qt::QueuedConnection);
  }
}

}  // namespace remote
