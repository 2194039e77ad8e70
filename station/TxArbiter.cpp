#include "station/TxArbiter.h"

#include <algorithm>

namespace station {

const char* TxSourceText(TTxSource s) {
  switch (s) {
    case TTxSource::Operator:
      return "Taste";
    case TTxSource::Radio:
      return "Funkgerät (CTS)";
    case TTxSource::Client:
      return "Netzwerk";
    case TTxSource::File:
      return "Datei";
    case TTxSource::Remote:
      return "Fernbedienung";
  }
  return "";
}

bool TTxArbiter::Hold(TTxSource source, int id, bool ownSound) {
  if (!accepting_ && source != TTxSource::Radio) return false;
  for (TTxHold& h : holds_) {
    if (h.Source != source || h.Id != id) continue;
    if (h.OwnSound != ownSound) {
      h.OwnSound = ownSound;
      if (OnChange) OnChange(h, true);
    }
    return true;
  }
  holds_.push_back({source, id, ownSound});
  if (OnChange) OnChange(holds_.back(), true);
  return true;
}

void TTxArbiter::Drop(size_t index) {
  const TTxHold gone = holds_[index];
  holds_.erase(holds_.begin() + static_cast<std::ptrdiff_t>(index));
  if (OnChange) OnChange(gone, false);
}

void TTxArbiter::Release(TTxSource source, int id) {
  for (size_t i = 0; i < holds_.size(); ++i)
    if (holds_[i].Source == source && holds_[i].Id == id) return Drop(i);
}

void TTxArbiter::ReleaseAll(TTxSource source) {
  for (size_t i = holds_.size(); i-- > 0;)
    if (holds_[i].Source == source) Drop(i);
}

int TTxArbiter::ReleaseStation() {
  int n = 0;
  for (size_t i = holds_.size(); i-- > 0;) {
    if (holds_[i].Source == TTxSource::Radio) continue;
    Drop(i);
    ++n;
  }
  return n;
}

bool TTxArbiter::Holds(TTxSource source, int id) const {
  return std::any_of(holds_.begin(), holds_.end(),
                     [&](const TTxHold& h) { return h.Source == source && h.Id == id; });
}

bool TTxArbiter::HeldBy(TTxSource source) const {
  return std::any_of(holds_.begin(), holds_.end(),
                     [&](const TTxHold& h) { return h.Source == source; });
}

bool TTxArbiter::Held() const {
  return First() != nullptr;
}

bool TTxArbiter::OwnSound() const {
  return std::any_of(holds_.begin(), holds_.end(),
                     [](const TTxHold& h) { return h.Source != TTxSource::Radio && h.OwnSound; });
}

const TTxHold* TTxArbiter::First() const {
  for (const TTxHold& h : holds_)
    if (h.Source != TTxSource::Radio) return &h;
  return nullptr;
}

void TTxArbiter::SetAccepting(bool accepting) {
  if (accepting_ == accepting) return;
  accepting_ = accepting;
  if (!accepting_) ReleaseStation();
}

}  // namespace station
