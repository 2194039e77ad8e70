#include "station/Events.h"

#include <algorithm>

namespace station {

int TEventBus::Subscribe(THandler handler) {
  entries_.push_back({next_, std::move(handler)});
  return next_++;
}

void TEventBus::Unsubscribe(int handle) {
  for (TEntry& e : entries_)
    if (e.Handle == handle) e.Handler = nullptr;
  // While an event is being published the entry stays, empty, so no index moves under it.
  if (publishing_ == 0) std::erase_if(entries_, [](const TEntry& e) { return !e.Handler; });
}

void TEventBus::Publish(const TStationEvent& event) {
  // By index and up to the count at the start: a handler may subscribe or unsubscribe.
  const size_t n = entries_.size();
  ++publishing_;
  for (size_t i = 0; i < n && i < entries_.size(); ++i) {
    if (entries_[i].Handler) {
      const THandler h = entries_[i].Handler;  // a copy survives its own unsubscription
      h(event);
    }
  }
  if (--publishing_ == 0) std::erase_if(entries_, [](const TEntry& e) { return !e.Handler; });
}

size_t TEventBus::Subscribers() const {
  return static_cast<size_t>(
      std::count_if(entries_.begin(), entries_.end(), [](const TEntry& e) { return e.Handler; }));
}

}  // namespace station
