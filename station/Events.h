// What happened at the station, for every front that follows it: the window's log, rig control,
// the browser pages. Fronts subscribe and never read each other's state; the station publishes
// on the main thread, after the change has taken effect.
//
// Thread: main thread. No Qt.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "station/TxArbiter.h"

namespace station {

enum class TEventKind : uint8_t {
  Keyed,             // the box was told to transmit; Source: who keyed first
  Released,          // back to receive
  Holds,             // the set of holds changed (who holds, own sound); keying may follow
  Channel,           // Channel, Text: the frequency as displayed
  Meter,             // Value: the S value 0..100 as the meter shows it
  Squelch,           // Value: 1 open (line in heard), 0 shut
  Call,              // Text: the digits taken; Value: 1 own number, 2 mailbox; Strength
  RecordingStarted,  // Text: the mailbox file
  RecordingEnded,    // Text: the mailbox file; Value: why writing ended early (errno), 0 whole
  ScannerStopped,    // Channel
  LinkUp,            // Text: the port
  LinkLost,          // Text: why, or "" when the operator disconnected
  Message,           // Text: what the operator is told
  LinkNote,          // Text: how the box behaves (silent, answering again, back, talking unasked)
};

struct TStationEvent {
  explicit TStationEvent(TEventKind kind) : Kind(kind) {}
  TEventKind Kind;
  TTxSource Source = TTxSource::Radio;
  int Channel = 0;
  int Value = 0;
  int Strength = -1;  // the S value where it belongs to the event (a call), else -1
  std::string Text;
};

class TEventBus {
 public:
  using THandler = std::function<void(const TStationEvent&)>;
  // Returns a handle for Unsubscribe. A subscriber added while an event is being published
  // hears the next one; one removed meanwhile hears no more.
  int Subscribe(THandler handler);
  void Unsubscribe(int handle);
  void Publish(const TStationEvent& event);
  size_t Subscribers() const;

 private:
  struct TEntry {
    int Handle;
    THandler Handler;
  };
  std::vector<TEntry> entries_;
  int next_ = 1;
  int publishing_ = 0;
};

}  // namespace station
