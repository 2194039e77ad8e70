#include "platform/serial/Serial.h"

#include <cctype>
#include <cerrno>
#include <mutex>

#include "platform/Host.h"
#include "platform/serial/Sim.h"

namespace platform {

namespace {
std::mutex& LookupMutex() {
  static std::mutex m;
  return m;
}
std::function<std::string(const std::string&)>& Lookup() {
  static std::function<std::string(const std::string&)> f;
  return f;
}

// "COM<n>" in any case, n from 1 to 256; returns n or 0.
int ComNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 6) return 0;
  for (int i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(name[static_cast<size_t>(i)])) != "COM"[i])
      return 0;
  int n = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n >= 1 && n <= 256 ? n : 0;
}

const char kSimPrefix[] = "sim:";
}  // namespace

void SetPortMappingLookup(std::function<std::string(const std::string&)> lookup) {
  std::lock_guard lk(LookupMutex());
  Lookup() = std::move(lookup);
}

std::string ResolvePortName(const std::string& name) {
  int n = ComNumber(name);
  if (n == 0) return name;
  std::string key = "COM" + std::to_string(n);
  std::string mapped;
  {
    std::lock_guard lk(LookupMutex());
    // Without a lookup of its own the operator's host configuration file decides.
    mapped = Lookup() ? Lookup()(key) : HostConfig::Instance().Get(key);
  }
  if (!mapped.empty()) return mapped;
  return "/dev/ttyS" + std::to_string(n - 1);
}

int OpenSerialDevice(const std::string& name, std::shared_ptr<ISerialDevice>& out) {
  out.reset();
  std::string target = ResolvePortName(name);
  if (target.empty()) return ENOENT;
  std::string wireName;
  if (target == "sim")
    wireName = "sim";
  else if (target.rfind(kSimPrefix, 0) == 0)
    wireName = target.substr(sizeof kSimPrefix - 1);
  if (!wireName.empty()) {
    auto wire = SimWire::Find(wireName);
    if (!wire) return ENOENT;
    return wire->Open(out);
  }
  return OpenPosixSerial(target, nullptr, out);
}

std::string SerialErrorHint(int error) {
  if (error == EACCES || error == EPERM)
    return "(no permission for the serial port: the user must be in the group dialout)";
  if (error == EBUSY) return "(the port is in use by another program)";
  return {};
}

}  // namespace platform
