#include "app/AudioDevices.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/Host.h"
#include "platform/mixer/Alsa.h"
#include "platform/wave/VirtualCard.h"
#include "platform/wave/Wave.h"
#include "rtl/Dialogs.h"
#include "rtl/Forms.h"

namespace app {

namespace fs = std::filesystem;

namespace {

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

// The key of a "key = value" line; "" for comments and anything else.
std::string KeyOf(const std::string& line) {
  const std::string t = Trim(line);
  if (t.empty() || t[0] == '#') return "";
  const size_t eq = t.find('=');
  return eq == std::string::npos ? "" : Trim(t.substr(0, eq));
}

}  // namespace

TAudioOffer CurrentAudioOffer() {
  TAudioOffer o;
  for (const auto& h : platform::wave::ListAlsaPcms(platform::wave::TWaveDir::In))
    o.Inputs.emplace_back(h.name, h.description);
  for (const auto& h : platform::wave::ListAlsaPcms(platform::wave::TWaveDir::Out))
    o.Outputs.emplace_back(h.name, h.description);
  for (const auto& c : platform::mixer::alsa::ListCards()) o.Cards.emplace_back(c.device, c.name);
  return o;
}

std::vector<std::string> AudioDeviceProblems() {
  namespace wave = platform::wave;
  std::vector<std::string> problems;
  for (const auto dir : {wave::TWaveDir::In, wave::TWaveDir::Out}) {
    const bool in = dir == wave::TWaveDir::In;
    const std::string key = in ? "audio.input" : "audio.output";
    const std::string name = platform::HostConfig::Instance().Get(key, "default");
    if (name == "default" || wave::AlsaPcmOpens(dir, name)) continue;
    wave::TWaveCaps caps;
    const bool other =
        wave::WaveBackend().NumDevs(dir) > 0 && wave::WaveBackend().GetDevCaps(dir, 0, caps) == 0;
    std::string what = key + " = " + name + ": Gerät nicht verfügbar; ";
    if (other)
      what += (in ? "aufgenommen wird von \"" : "gespielt wird über \"") + caps.szPname + "\"";
    else
      what += in ? "es gibt kein Aufnahmegerät" : "es gibt kein Wiedergabegerät";
    problems.push_back(what);
  }
  return problems;
}

TAudioChoice CurrentAudioChoice() {
  const auto& conf = platform::HostConfig::Instance();
  TAudioChoice c;
  c.Input = conf.Get("audio.input", "default");
  c.Output = conf.Get("audio.output", "default");
  c.MixerCard = conf.Get("mixer.card", "");
  return c;
}

void StoreConfigKeys(const std::string& path, const std::map<std::string, std::string>& values) {
  std::vector<std::string> lines;
  {
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
  }
  std::map<std::string, bool> done;
  std::vector<std::string> out;
  for (const std::string& l : lines) {
    const std::string key = KeyOf(l);
    auto it = values.find(key);
    if (key.empty() || it == values.end()) {
      out.push_back(l);
      continue;
    }
    if (!done[key] && !it->second.empty()) out.push_back(key + " = " + it->second);
    done[key] = true;
  }
  for (const auto& [key, value] : values)
    if (!done[key] && !value.empty()) out.push_back(key + " = " + value);
  // Written beside the old file and moved over it, so a failed write loses nothing.
  std::error_code ec;
  if (!fs::path(path).parent_path().empty())
    fs::create_directories(fs::path(path).parent_path(), ec);
  const std::string tmp = path + ".new";
  {
    std::ofstream f(tmp, std::ios::trunc);
    for (const std::string& l : out) f << l << '\n';
    f.flush();
    if (!f) {
      fs::remove(tmp, ec);
      throw std::runtime_error("Kann " + path + " nicht schreiben");
    }
  }
  fs::rename(tmp, path, ec);
  if (ec) {
    fs::remove(tmp, ec);
    throw std::runtime_error("Kann " + path + " nicht schreiben");
  }
}

}  // namespace app
