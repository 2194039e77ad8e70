// The sound card the station works with: kanalo.conf's "audio.input", "audio.output" (ALSA PCM
// names, "default" unless set) and "mixer.card" (a card; unset: the card behind the chosen PCMs,
// else the first card with a capture control), chosen in "Extras / Soundkarte…".
//
// Thread: main thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QWidget;

namespace app {

// What ALSA offers: (name, description) of each input and output PCM, (control device, name) of
// each card.
struct TAudioOffer {
  std::vector<std::pair<std::string, std::string>> Inputs, Outputs, Cards;
};
// The station's choice; an empty MixerCard means "follow the devices".
struct TAudioChoice {
  std::string Input = "default", Output = "default", MixerCard;
};

TAudioOffer CurrentAudioOffer();
TAudioChoice CurrentAudioChoice();

// What start-up must say about the chosen devices: an "audio.input" or "audio.output" named in
// kanalo.conf that ALSA cannot open (a USB interface unplugged, a card renamed). The station then
// records or plays on the first device there is, which the operator must know before keying:
// a cue played to the computer's speaker puts only a carrier on the air.
std::vector<std::string> AudioDeviceProblems();

// Puts `values` into the configuration file at `path`: a line "key = ..." of each key is replaced
// (its first one; later ones go), missing keys are appended, every other line (comments, other
// keys) stays as it was. A key with an empty value is removed. Throws std::runtime_error with
// the path when the file cannot be written; the old file is then left as it was.
void StoreConfigKeys(const std::string& path, const std::map<std::string, std::string>& values);

// The window's (app/AudioDialog.cpp) from here on.
// Asks for the choice (true: accepted, `choice` changed). The Qt dialog unless tests replace it
// (empty: the Qt dialog again).
using TAudioChooser =
    std::function<bool(QWidget* parent, const TAudioOffer& offer, TAudioChoice& choice)>;
TAudioChooser& AudioChooser();

// "Extras / Soundkarte…": lists the offer, stores the choice in kanalo.conf and in the running
// configuration (the wave devices follow at their next open, the mixer at the next start).
void ChooseSoundCard(QWidget* parent);

}  // namespace app
