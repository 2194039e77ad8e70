#include "radio/HamlibOpen.h"

#include <hamlib/rig.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace radio {

namespace {
std::once_flag backendsLoaded;
}  // namespace

void LoadHamlibBackends() {
  std::call_once(backendsLoaded, [] {
    rig_set_debug(RIG_DEBUG_NONE);
    rig_load_all_backends();
  });
}

s_rig* OpenHamlibRig(const THamlibSettings& s, int timeoutMs, int retry, std::string& error) {
  LoadHamlibBackends();
  RIG* rig = rig_init(static_cast<rig_model_t>(s.Model));
  if (!rig) {
    error = "Hamlib kennt das Modell " + std::to_string(s.Model) + " nicht";
    return nullptr;
  }
  hamlib_port_t& port = rig->state.rigport;
  if (!s.Port.empty()) {
    std::strncpy(port.pathname, s.Port.c_str(), HAMLIB_FILPATHLEN - 1);
    port.pathname[HAMLIB_FILPATHLEN - 1] = 0;
  }
  if (s.Speed > 0) port.parm.serial.rate = s.Speed;
  // A rig that does not answer is a silent box within a second, not after the backend's retries.
  port.timeout = timeoutMs;
  port.retry = retry;
  std::string conf = s.Conf;
  for (size_t pos = 0; pos < conf.size();) {
    size_t end = conf.find(',', pos);
    if (end == std::string::npos) end = conf.size();
    const std::string item = conf.substr(pos, end - pos);
    pos = end + 1;
    const size_t eq = item.find('=');
    if (item.empty()) continue;
    const std::string key = item.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
    const token_t token = rig_token_lookup(rig, key.c_str());
    if (token == RIG_CONF_END || rig_set_conf(rig, token, value.c_str()) != RIG_OK) {
      error = "hamlib.conf: " + key + " ist für dieses Modell unbekannt";
      rig_cleanup(rig);
      return nullptr;
    }
  }
  // A backend that can key over CAT but names no way to key (Hamlib's dummy, some models) is
  // keyed over CAT; a ptt_type in hamlib.conf says otherwise.
  if (rig->state.pttport.type.ptt == RIG_PTT_NONE && rig->caps->set_ptt &&
      s.Conf.find("ptt_type") == std::string::npos)
    rig->state.pttport.type.ptt = RIG_PTT_RIG;
  const int rc = rig_open(rig);
  if (rc != RIG_OK) {
    error = rigerror(rc);
    rig_cleanup(rig);
    return nullptr;
  }
  return rig;
}

std::vector<std::string> ReleaseArguments(const THamlibSettings& s) {
  return {std::to_string(s.Model), s.Port, std::to_string(s.Speed), s.Conf};
}

bool ParseReleaseArguments(int argc, const char* const* argv, THamlibSettings& s) {
  if (argc != 5) return false;
  char* end = nullptr;
  s.Model = static_cast<int>(std::strtol(argv[1], &end, 10));
  if (*end || s.Model <= 0) return false;
  s.Port = argv[2];
  s.Speed = static_cast<int>(std::strtol(argv[3], &end, 10));
  if (*end || s.Speed < 0) return false;
  s.Conf = argv[4];
  return true;
}

}  // namespace radio
