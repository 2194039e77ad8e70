#include "platform/Host.h"

#include <dirent.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace platform {

namespace fs = std::filesystem;

namespace {

struct State {
  std::mutex mu;
  std::string root;
  std::optional<int64_t> freeOverride;
  std::optional<char> decimal, list;
};

State& S() {
  static State s;
  return s;
}

std::string HomeDir() {
  const char* h = std::getenv("HOME");
  return h && *h ? h : "/tmp";
}

// The entry of `dir` whose name equals `name` ignoring case, preferring an exact match.
std::string MatchEntry(const std::string& dir, const std::string& name) {
  struct stat st;
  if (::stat((dir + "/" + name).c_str(), &st) == 0) return name;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return name;
  std::string found = name;
  while (dirent* e = ::readdir(d)) {
    if (::strcasecmp(e->d_name, name.c_str()) == 0) {
      found = e->d_name;
      break;
    }
  }
  ::closedir(d);
  return found;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace

std::string DataRoot() {
  std::lock_guard lk(S().mu);
  if (S().root.empty()) {
    std::string r = HostConfig::Instance().Get("root");
    S().root = r.empty() ? HomeDir() : r;
  }
  return S().root;
}

void SetDataRoot(const std::string& hostDir) {
  std::lock_guard lk(S().mu);
  S().root = hostDir;
}

std::string ToHostPath(const std::string& windowsPath) {
  std::string p = windowsPath;
  for (char& c : p)
    if (c == '\\') c = '/';
  std::string base;
  if (p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':') {
    char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
    base = DataRoot();
    if (drive != 'C') base += std::string("/") + drive;
    p = p.substr(2);
  } else if (!p.empty() && p[0] == '/') {
    return p;  // already a host path
  } else {
    base = DataRoot();
  }
  std::string out = base;
  std::stringstream ss(p);
  std::string part;
  while (std::getline(ss, part, '/')) {
    if (part.empty() || part == ".") continue;
    out += "/" + MatchEntry(out, part);
  }
  return out;
}

std::string ToWindowsPath(const std::string& hostPath) {
  std::string root = DataRoot();
  if (hostPath.compare(0, root.size(), root) != 0 ||
      (hostPath.size() > root.size() && hostPath[root.size()] != '/'))
    return hostPath;
  std::string rest = hostPath.substr(root.size());
  for (char& c : rest)
    if (c == '/') c = '\\';
  if (rest.empty() || rest[0] != '\\') rest = "\\" + rest;
  return "C:" + rest;
}

bool EnsureParentDir(const std::string& hostPath) {
  std::error_code ec;
  fs::path dir = fs::path(hostPath).parent_path();
  if (dir.empty()) return true;
  fs::create_directories(dir, ec);
  return fs::is_directory(dir, ec);
}

int64_t FreeDiskSpace(const std::string& hostPath) {
  {
    std::lock_guard lk(S().mu);
    if (S().freeOverride) return *S().freeOverride;
  }
  fs::path p = hostPath.empty() ? fs::path(DataRoot()) : fs::path(hostPath);
  std::error_code ec;
  while (!p.empty() && !fs::exists(p, ec)) {
    fs::path parent = p.parent_path();
    if (parent == p) break;
    p = parent;
  }
  struct statvfs v;
  if (::statvfs(p.empty() ? "/" : p.c_str(), &v) != 0) return -1;
  return static_cast<int64_t>(v.f_bavail) * static_cast<int64_t>(v.f_frsize);
}

void SetFreeDiskSpaceOverride(std::optional<int64_t> bytes) {
  std::lock_guard lk(S().mu);
  S().freeOverride = bytes;
}

char DecimalSeparator() {
  {
    std::lock_guard lk(S().mu);
    if (S().decimal) return *S().decimal;
  }
  // The user's numeric locale, read without changing the process locale (which would make
  // printf and the settings parsers locale-dependent).
  const char* name = std::getenv("LC_ALL");
  if (!name || !*name) name = std::getenv("LC_NUMERIC");
  if (!name || !*name) name = std::getenv("LANG");
  char result = '.';
  if (name && *name) {
    locale_t loc = ::newlocale(LC_NUMERIC_MASK, name, static_cast<locale_t>(0));
    if (loc) {
      const char* radix = ::nl_langinfo_l(RADIXCHAR, loc);
      if (radix && radix[0]) result = radix[0];
      ::freelocale(loc);
    }
  }
  return result;
}

char ListSeparator() {
  {
    std::lock_guard lk(S().mu);
    if (S().list) return *S().list;
  }
  return DecimalSeparator() == ',' ? ';' : ',';
}

void SetRegionalOverride(std::optional<char> decimal, std::optional<char> list) {
  std::lock_guard lk(S().mu);
  S().decimal = decimal;
  S().list = list;
}

HostConfig& HostConfig::Instance() {
  static HostConfig* cfg = [] {
    auto* c = new HostConfig;
    c->LoadFile(DefaultPath());
    return c;
  }();
  return *cfg;
}

std::string HostConfig::DefaultPath() {
  const char* x = std::getenv("XDG_CONFIG_HOME");
  std::string base = x && *x ? x : HomeDir() + "/.config";
  return base + "/kanalo/kanalo.conf";
}

std::string HostConfig::Get(const std::string& key, const std::string& def) const {
  auto it = values_.find(key);
  return it == values_.end() ? def : it->second;
}

void HostConfig::Set(const std::string& key, const std::string& value) {
  values_[key] = value;
}

void HostConfig::LoadFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return;
  std::stringstream ss;
  ss << in.rdbuf();
  int bad = 0;
  for (auto& [k, v] : Parse(ss.str(), &bad)) values_[k] = v;
}

std::map<std::string, std::string> HostConfig::Parse(const std::string& text, int* badLines) {
  std::map<std::string, std::string> out;
  int bad = 0;
  std::stringstream ss(text);
  std::string line;
  while (std::getline(ss, line)) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    size_t eq = t.find('=');
    if (eq == std::string::npos || Trim(t.substr(0, eq)).empty()) {
      ++bad;
      continue;
    }
    out[Trim(t.substr(0, eq))] = Trim(t.substr(eq + 1));
  }
  if (badLines) *badLines = bad;
  return out;
}

}  // namespace platform
