// Host facts the station needs: where its data lives, how much room a volume has, the user's
// number separators, and the operator's small host configuration file.
// Thread: any; the configuration is read once and then only read.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// --- Data directory -------------------------------------------------------------------------
// Settings files keep Windows-style paths ("C:\Kanalo\default.kvr") so that they stay
// byte-compatible. The drive root "C:\" maps to a host folder (default: the user's home, so
// "C:\Kanalo\" is ~/Kanalo/); other drive letters map to <root>/<letter>/. Backslashes become
// slashes, and each component of an existing file or folder is found case-insensitively, since
// names in old settings files were written for a case-blind file system.
std::string DataRoot();
void SetDataRoot(const std::string& hostDir);  // tests, and the "root" key of the host config
std::string ToHostPath(const std::string& windowsPath);
// The Windows-style form of a host path below the root (for display and for storing in the
// settings file); paths outside the root are returned unchanged.
std::string ToWindowsPath(const std::string& hostPath);
// Creates the folders of a host path's directory part; false when that failed.
bool EnsureParentDir(const std::string& hostPath);

// --- Disk space -------------------------------------------------------------------------------
// Free bytes for an unprivileged writer on the volume holding `hostPath` (or its nearest existing
// parent); -1 when unknown. A test override replaces the answer for every path.
int64_t FreeDiskSpace(const std::string& hostPath);
void SetFreeDiskSpaceOverride(std::optional<int64_t> bytes);

// --- Regional settings --------------------------------------------------------------------------
// From the user's LC_NUMERIC. The list separator is ';' where the decimal separator is a comma
// (as in a German locale) and ',' otherwise, which is the rule the platform's defaults follow.
char DecimalSeparator();
char ListSeparator();
void SetRegionalOverride(std::optional<char> decimal, std::optional<char> list);

// --- System error texts -------------------------------------------------------------------------
// The system's text for an errno value in the user's language (LC_ALL, LC_MESSAGES, LANG); where
// the user chose none (C, POSIX), in German if that locale is installed, since the station speaks
// German. Does not change the process locale.
std::string SystemErrorText(int error);

// --- Host configuration -------------------------------------------------------------------------
// ~/.config/kanalo/kanalo.conf ($XDG_CONFIG_HOME honoured): "key = value" lines; '#' starts a
// comment at the beginning of a line or after a blank ("rigctl.enabled = no   # off").
// Every key the station knows is in KnownKeys() with what its value may be. A line that is no
// "key = value", an unknown key or an invalid value is reported in Problems() with its line
// number; an invalid value is not taken (the key keeps its default), an unknown key is kept.
// A missing file means all defaults; an unreadable one is a problem.
struct HostKey {
  const char* name;  // "COM*" stands for COM1..COM9
  const char* what;  // the allowed values, as the problem report names them
  bool (*valid)(const std::string& value);
  int64_t min = 0, max = 0;  // integer keys
};

class HostConfig {
 public:
  HostConfig() = default;  // empty; Instance() is the one loaded from DefaultPath()
  static HostConfig& Instance();
  std::string Get(const std::string& key, const std::string& def = {}) const;
  // A yes/no key (also on/off, true/false, 1/0); `def` when unset.
  bool GetBool(const std::string& key, bool def) const;
  // An integer key within its range; `def` when unset.
  int64_t GetInt(const std::string& key, int64_t def) const;
  // Get, with `def` also for an empty value.
  std::string GetValid(const std::string& key, const std::string& def) const;
  void Set(const std::string& key, const std::string& value);  // in memory (tests)
  void LoadFile(const std::string& path);
  // Loads a file's text as if read from `path` (tests).
  void LoadText(const std::string& text, const std::string& path);
  static std::string DefaultPath();
  // Writes `key = value` into the file at `path`, changing only the lines of that key (their
  // comments kept) or adding one line at the end; every other line stays as it is. The file is
  // replaced whole (written beside it, then renamed), so a failure leaves the old one. Returns
  // an error text, empty on success. Main thread.
  static std::string StoreKey(const std::string& path, const std::string& key,
                              const std::string& value);
  // Parses one file's text; returns the line numbers it could not read.
  static std::map<std::string, std::string> Parse(const std::string& text, int* badLines);
  // The same, validating every key and value; each problem is one line of text naming the line.
  static std::map<std::string, std::string> Parse(const std::string& text, const std::string& path,
                                                  std::vector<std::string>& problems);
  // What was wrong with the files loaded so far; empty when nothing.
  const std::vector<std::string>& Problems() const { return problems_; }
  static const std::vector<HostKey>& KnownKeys();
  static const HostKey* FindKey(const std::string& key);

 private:
  std::map<std::string, std::string> values_;
  std::vector<std::string> problems_;
};

}  // namespace platform
