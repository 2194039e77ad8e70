// The window's part of the sound card: "Extras / Soundkarte…" and the software monitor following
// the hidden line-in mute box.
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>

#include "app/AudioDevices.h"
#include "platform/Host.h"
#include "platform/wave/VirtualCard.h"
#include "platform/wave/Wave.h"
#include "rtl/Dialogs.h"
#include "rtl/Forms.h"

namespace app {

namespace {

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
