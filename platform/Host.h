// Host facts the station needs: where its data lives, how much room a volume has, the user's
// number separators, and the operator's small host configuration file.
// Thread: any; the configuration is read once and then only read.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

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

// --- Host configuration -------------------------------------------------------------------------
// ~/.config/kanalo/kanalo.conf ($XDG_CONFIG_HOME honoured): "key = value" lines, '#' comments.
// Keys: root, COM1, COM2, ... (serial port mapping), rigctl.enabled, rigctl.address, rigctl.port.
// Unknown keys are kept and ignored; a missing or unreadable file means all defaults.
class HostConfig {
 public:
  static HostConfig& Instance();
  std::string Get(const std::string& key, const std::string& def = {}) const;
  void Set(const std::string& key, const std::string& value);  // in memory (tests)
  void LoadFile(const std::string& path);
  static std::string DefaultPath();
  // Parses one file's text; returns the line numbers it could not read.
  static std::map<std::string, std::string> Parse(const std::string& text, int* badLines);

 private:
  std::map<std::string, std::string> values_;
};

}  // namespace platform
