#include "app/AudioDevices.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
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

// A combo box of (name, description) entries that always holds `current`.
QComboBox* Combo(const std::vector<std::pair<std::string, std::string>>& entries,
                 const std::string& current, const char* none = nullptr) {
  auto* box = new QComboBox;
  if (none) box->addItem(QString::fromUtf8(none), QString());
  bool found = current.empty() && none;
  for (const auto& [name, desc] : entries) {
    box->addItem(QString::fromStdString(desc.empty() ? name : name + " (" + desc + ")"),
                 QString::fromStdString(name));
    found = found || name == current;
  }
  if (!found) box->addItem(QString::fromStdString(current), QString::fromStdString(current));
  box->setCurrentIndex(box->findData(QString::fromStdString(current)));
  return box;
}

bool QtChooser(QWidget* parent, const TAudioOffer& offer, TAudioChoice& choice) {
  QDialog dlg(parent);
  dlg.setWindowTitle(QString::fromUtf8("Soundkarte"));
  auto* form = new QFormLayout(&dlg);
  QComboBox* in = Combo(offer.Inputs, choice.Input);
  QComboBox* out = Combo(offer.Outputs, choice.Output);
  QComboBox* card = Combo(offer.Cards, choice.MixerCard, "(wie Eingang/Ausgang)");
  form->addRow(QString::fromUtf8("Eingang (Empfänger):"), in);
  form->addRow(QString::fromUtf8("Ausgang (Sender):"), out);
  form->addRow(QString::fromUtf8("Mixer:"), card);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dlg, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dlg, &QDialog::reject);
  form->addRow(buttons);
  if (dlg.exec() != QDialog::Accepted) return false;
  choice.Input = in->currentData().toString().toStdString();
  choice.Output = out->currentData().toString().toStdString();
  choice.MixerCard = card->currentData().toString().toStdString();
  return true;
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

TAudioChooser& AudioChooser() {
  static TAudioChooser chooser = QtChooser;
  return chooser;
}

void ChooseSoundCard(QWidget* parent) {
  namespace wave = platform::wave;
  if (dynamic_cast<wave::TVirtualSoundCard*>(&wave::WaveBackend())) {
    // The simulator's station hears and sends through its own card, whatever kanalo.conf names:
    // offering the computer's devices here would say something other than what is in use.
    wave::TWaveCaps in, out;
    wave::WaveBackend().GetDevCaps(wave::TWaveDir::In, 0, in);
    wave::WaveBackend().GetDevCaps(wave::TWaveDir::Out, 0, out);
    rtl::Dialogs().MessageBox("Der Simulator nimmt auf von \"" + in.szPname +
                                  "\" und spielt über \"" + out.szPname +
                                  "\". Die Soundkarte wählt man in der Station ohne --simulator.",
                              rtl::Application().Title, rtl::mtInformation, rtl::mbOK);
    return;
  }
  TAudioChoice choice = CurrentAudioChoice();
  const TAudioChooser& chooser = AudioChooser() ? AudioChooser() : TAudioChooser(QtChooser);
  if (!chooser(parent, CurrentAudioOffer(), choice)) return;
  const std::map<std::string, std::string> values = {
      {"audio.input", choice.Input == "default" ? "" : choice.Input},
      {"audio.output", choice.Output == "default" ? "" : choice.Output},
      {"mixer.card", choice.MixerCard}};
  StoreConfigKeys(platform::HostConfig::DefaultPath(), values);
  auto& conf = platform::HostConfig::Instance();
  conf.Set("audio.input", choice.Input.empty() ? "default" : choice.Input);
  conf.Set("audio.output", choice.Output.empty() ? "default" : choice.Output);
  conf.Set("mixer.card", choice.MixerCard);
  rtl::Dialogs().MessageBox(
      "Die Soundkarte ist gespeichert. Ein- und Ausgang gelten ab sofort, der Mixer ab dem "
      "nächsten Start.",
      rtl::Application().Title, rtl::mtInformation, rtl::mbOK);
}

}  // namespace app
