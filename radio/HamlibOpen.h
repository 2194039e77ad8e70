// Opening a rig through Hamlib as kanalo.conf names it: shared by the station's worker and by
// kanalo-rig-release, the program the guardian runs to unkey a rig the station can no longer
// reach. Links Hamlib and the C++ library only.
#pragma once

#include <string>
#include <vector>

struct s_rig;

namespace radio {

// kanalo.conf: hamlib.model, hamlib.port (a device or host:port), hamlib.speed, hamlib.conf
// ("key=value,key=value").
struct THamlibSettings {
  int Model = 1;
  std::string Port;
  int Speed = 0;  // 0: the backend's default
  std::string Conf;
};

// Loads Hamlib's backends once, quietly.
void LoadHamlibBackends();

// Opens the rig; nullptr and the reason when it cannot. `timeoutMs` and `retry` bound one call.
s_rig* OpenHamlibRig(const THamlibSettings& s, int timeoutMs, int retry, std::string& error);

// The arguments that make kanalo-rig-release open the same rig (after the program's path).
std::vector<std::string> ReleaseArguments(const THamlibSettings& s);
// And back; false when the arguments are not four.
bool ParseReleaseArguments(int argc, const char* const* argv, THamlibSettings& s);

}  // namespace radio
