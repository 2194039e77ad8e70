#include "app/LogFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/Host.h"
#include "rtl/Thread.h"

namespace app {

namespace fs = std::filesystem;

const char kLogHeader[] = "Zeit;Ereignis;Kanal;S-Wert;Ziffern;Dauer (ms);Datei;Hinweis";
const char* const kLogKindTexts[kLogKinds] = {"Selektivruf", "Mailbox",    "Senden",
                                              "Scanner",     "Verbindung", "Fehler"};

namespace {

bool Digits(std::string_view s, size_t at, size_t n, int& out) {
  if (at + n > s.size()) return false;
  out = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : days[m - 1];
}

// "2026-12-07T14:30:05+01:00" (or "...Z") as the file writes it.
std::optional<int64_t> IsoTime(std::string_view s) {
  int y, mo, d, h, mi, se;
  if (!Digits(s, 0, 4, y) || s.size() < 19 || s[4] != '-' || !Digits(s, 5, 2, mo) || s[7] != '-' ||
      !Digits(s, 8, 2, d) || s[10] != 'T' || !Digits(s, 11, 2, h) || s[13] != ':' ||
      !Digits(s, 14, 2, mi) || s[16] != ':' || !Digits(s, 17, 2, se))
    return std::nullopt;
  if (mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo) || h > 23 || mi > 59 || se > 59)
    return std::nullopt;
  int offset = 0;
  std::string_view zone = s.substr(19);
  if (zone == "Z") {
    offset = 0;
  } else {
    int oh, om;
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || !Digits(zone, 1, 2, oh) ||
        zone[3] != ':' || !Digits(zone, 4, 2, om) || om > 59 || oh * 60 + om > 14 * 60)
      return std::nullopt;  // no zone on earth is further than 14 hours from UTC
    offset = (oh * 60 + om) * 60 * (zone[0] == '-' ? -1 : 1);
  }
  return DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + se - offset;
}

bool Number(const std::string& s) {
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9' || v > (int64_t{1} << 50)) return false;
    v = v * 10 + (c - '0');
  }
  return true;
}

// The first line of a file without its line end; nullopt for a file that cannot be read.
std::optional<std::string> FirstLine(std::istream& in) {
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// "Protokoll-2026-11.csv" -> (month, n) for rotated files of `stem` ("Protokoll").
std::optional<std::pair<std::string, int>> RotatedName(const std::string& name,
                                                       const std::string& stem) {
  const std::string pre = stem + "-", ext = ".csv";
  if (name.size() < pre.size() + 7 + ext.size() || name.compare(0, pre.size(), pre) != 0 ||
      name.compare(name.size() - ext.size(), ext.size(), ext) != 0)
    return std::nullopt;
  const std::string mid = name.substr(pre.size(), name.size() - pre.size() - ext.size());
  const std::string month = mid.substr(0, 7);
  if (LogLineMonth(month) != month) return std::nullopt;
  if (mid.size() == 7) return std::make_pair(month, 1);
  int n = 0;
  if (mid[7] != '-' || mid.size() > 12 || !Digits(mid, 8, mid.size() - 8, n) || n < 2)
    return std::nullopt;
  return std::make_pair(month, n);
}

}  // namespace

std::string LogLineMonth(std::string_view line) {
  int y, m;
  if (!Digits(line, 0, 4, y) || line.size() < 7 || line[4] != '-' || !Digits(line, 5, 2, m) ||
      m < 1 || m > 12)
    return {};
  return std::string(line.substr(0, 7));
}

std::string RotatedLogPath(const std::string& current, const std::string& month, int n) {
  const fs::path p(current);
  std::string name = p.stem().string() + "-" + month;
  if (n > 1) name += "-" + std::to_string(n);
  return (p.parent_path() / (name + p.extension().string())).string();
}

std::string RotateLog(const std::string& current, const std::string& month) {
  std::string fileMonth;
  {
    std::ifstream in(current, std::ios::binary);
    const auto header = FirstLine(in);
    if (!header || *header != kLogHeader) return {};  // none, empty or not ours: nothing to move
    const auto first = FirstLine(in);
    if (!first) return {};
    fileMonth = LogLineMonth(*first);
  }
  // A clock set back writes an earlier month into this month's file; that stays where it is.
  if (fileMonth.empty() || fileMonth >= month) return {};
  std::error_code ec;
  int n = 1;
  while (fs::exists(RotatedLogPath(current, fileMonth, n), ec)) ++n;
  if (std::rename(current.c_str(), RotatedLogPath(current, fileMonth, n).c_str()) != 0)
    return platform::SystemErrorText(errno);
  return {};
}

std::vector<std::string> LogFilesOf(const std::string& current) {
  const fs::path p(current);
  const std::string stem = p.stem().string();
  std::vector<std::pair<std::pair<std::string, int>, std::string>> rotated;
  std::error_code ec;
  for (fs::directory_iterator it(p.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
    if (auto key = RotatedName(it->path().filename().string(), stem))
      rotated.push_back({*key, it->path().string()});
  }
  std::sort(rotated.begin(), rotated.end());
  std::vector<std::string> out;
  for (auto& r : rotated) out.push_back(std::move(r.second));
  if (fs::exists(p, ec)) out.push_back(current);
  return out;
}

std::optional<TLogLineKey> ScanLogLine(std::string_view line) {
  // The fields a key needs, unquoted as SplitLogLine unquotes them; the texts are only counted.
  std::string f[6];  // time, kind, channel, S, -, duration
  int field = 0;
  bool quoted = false;
  auto put = [&](char c) {
    if (field < 6 && field != 4) f[field] += c;
  };
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        put('"');
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        put(c);
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ';') {
      if (++field > 7) return std::nullopt;
    } else if (c != '\r') {
      put(c);
    }
  }
  if (field != 7) return std::nullopt;
  const auto time = IsoTime(f[0]);
  if (!time || !Number(f[2]) || !Number(f[3]) || !Number(f[5])) return std::nullopt;
  for (int k = 0; k < kLogKinds; ++k)
    if (f[1] == kLogKindTexts[k]) return TLogLineKey{*time, k};
  return std::nullopt;
}

// --- Index -------------------------------------------------------------------------------------

TLogIndex::TLogIndex(Options o) : o_(std::move(o)), hold_(o_.holdForTests) {
  thread_ = std::thread([this] { Run(); });
}

TLogIndex::~TLogIndex() {
  stop_ = true;
  ReleaseForTests();
  thread_.join();
  for (int fd : fds_) ::close(fd);
}

void TLogIndex::ReleaseForTests() {
  {
    std::lock_guard<std::mutex> l(mu_);
    hold_ = false;
  }
  held_.notify_all();
}

size_t TLogIndex::Count() const {
  std::lock_guard<std::mutex> l(mu_);
  return refs_.size();
}

TLogRef TLogIndex::At(size_t i) const {
  std::lock_guard<std::mutex> l(mu_);
  return refs_.at(i);
}

bool TLogIndex::Done() const {
  std::lock_guard<std::mutex> l(mu_);
  return done_;
}

uint64_t TLogIndex::Generation() const {
  std::lock_guard<std::mutex> l(mu_);
  return generation_;
}

std::optional<std::string> TLogIndex::Line(const TLogRef& r) const {
  int fd;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (r.File() >= fds_.size()) return std::nullopt;
    fd = fds_[r.File()];
  }
  std::string out;
  char buf[4096];
  for (uint64_t at = r.Offset();;) {
    const ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;  // an indexed line ends with its line end
    const char* nl = static_cast<const char*>(std::memchr(buf, '\n', static_cast<size_t>(n)));
    out.append(buf, nl ? static_cast<size_t>(nl - buf) : static_cast<size_t>(n));
    if (nl) break;
    at += static_cast<uint64_t>(n);
  }
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return out;
}

void TLogIndex::Publish(std::vector<TLogRef>& batch) {
  if (batch.empty()) return;
  {
    std::lock_guard<std::mutex> l(mu_);
    refs_.insert(refs_.end(), batch.begin(), batch.end());
  }
  batch.clear();
  if (o_.progress) o_.progress();
}

void TLogIndex::Run() {
  rtl::SetThreadName("log-index");
  {
    std::unique_lock<std::mutex> l(mu_);
    held_.wait(l, [this] { return !hold_; });
  }
  const std::vector<std::string> files = o_.files ? o_.files() : std::vector<std::string>();
  struct Open {
    size_t file;
    int fd;
    uint64_t size, start;
  };
  std::vector<Open> open;
  for (size_t i = 0; i < files.size() && i < 0xFFFF; ++i) {
    // Not blocking on a special file someone put in the log's place.
    const int fd = ::open(files[i].c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat st;
    char head[128];
    const ssize_t n =
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ::pread(fd, head, sizeof head, 0) : -1;
    const size_t len = std::strlen(kLogHeader);
    size_t start = 0;
    if (n > static_cast<ssize_t>(len) && std::memcmp(head, kLogHeader, len) == 0) {
      if (head[len] == '\n') start = len + 1;
      if (head[len] == '\r' && n > static_cast<ssize_t>(len + 1) && head[len + 1] == '\n')
        start = len + 2;
    }
    if (start == 0) {  // not a log of ours
      ::close(fd);
      continue;
    }
    std::lock_guard<std::mutex> l(mu_);
    fds_.push_back(fd);
    open.push_back({fds_.size() - 1, fd, static_cast<uint64_t>(st.st_size), start});
  }
  // Newest file first, each from its end: the window's first page is there at once.
  for (auto it = open.rbegin(); it != open.rend() && !stop_; ++it)
    IndexFile(it->file, it->fd, it->size, it->start);

  // A clock that was set back leaves newer times below older ones: sorted once, by time, the
  // later line first within one second.
  std::vector<TLogRef> sorted;
  {
    std::lock_guard<std::mutex> l(mu_);
    const auto later = [](const TLogRef& a, const TLogRef& b) { return a.time > b.time; };
    if (!std::is_sorted(refs_.begin(), refs_.end(), later)) sorted = refs_;
  }
  if (!sorted.empty() && !stop_) {
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const TLogRef& a, const TLogRef& b) { return a.time > b.time; });
    std::lock_guard<std::mutex> l(mu_);
    refs_.swap(sorted);
    ++generation_;
  }
  {
    std::lock_guard<std::mutex> l(mu_);
    done_ = true;
  }
  if (o_.progress) o_.progress();
}

void TLogIndex::IndexFile(size_t file, int fd, uint64_t size, uint64_t start) {
  constexpr size_t kBlock = 1 << 20;
  constexpr size_t kMaxLine = 16 << 20;
  std::vector<char> buf(kBlock);
  std::vector<TLogRef> batch;
  std::string carry;  // the beginning of a line whose end an earlier (later in the file) block had
  bool terminated = false;  // a line end was seen: what lies before it are whole lines
  bool overlong = false;    // the line being assembled passed any sane length: it is skipped
  auto take = [&](std::string_view line, uint64_t at) {
    if (auto key = ScanLogLine(line); key && key->time >= o_.since)
      batch.push_back({key->time, uint64_t(key->kind) << 56 | uint64_t(file) << 40 | at});
  };
  uint64_t pos = size;
  while (pos > start && !stop_) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, pos - start));
    pos -= n;
    size_t got = 0;
    while (got < n) {
      const ssize_t r = ::pread(fd, buf.data() + got, n - got, static_cast<off_t>(pos + got));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return;  // the file shrank or failed under us: what was found stays
      got += static_cast<size_t>(r);
    }
    size_t end = n;  // buf[i+1, end) + carry is the line after the line end at i
    for (size_t i = n; i-- > 0;) {
      if (buf[i] != '\n') continue;
      // The piece after the file's last line end is a line still being written: left out.
      if (terminated && !overlong) {
        if (carry.empty()) {
          take(std::string_view(buf.data() + i + 1, end - i - 1), pos + i + 1);
        } else {
          take(std::string(buf.data() + i + 1, end - i - 1) + carry, pos + i + 1);
          carry.clear();
        }
      }
      carry.clear();
      terminated = true;
      overlong = false;
      end = i;
    }
    carry.insert(0, buf.data(), end);
    if (carry.size() > kMaxLine) {
      carry.clear();
      overlong = true;
    }
    Publish(batch);
  }
  if (terminated && !overlong && pos <= start && !carry.empty()) take(carry, start);
  Publish(batch);
}

}  // namespace app
