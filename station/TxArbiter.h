// The one place that decides whether the station keys the transmitter.
//
// Every source of keying holds or releases on its own: the operator's PTT (mouse, keyboard), each
// rig-control client, a file being sent, each browser page. A release by one source never ends
// another's hold, so a digital-mode program ending its own transmission does not unkey the
// operator who holds the button. The radio's own push-to-talk (CTS) is recorded as a hold too,
// for whoever shows who is on the air, but it is not the station's to end: ReleaseStation() and
// the transmit time-out leave it alone.
//
// The 100 ms tick reads Held() and OwnSound() (the flags `PTTTaste` and `WavSenden` of the
// window are kept equal to them) and sends the box its command; the box hears "receive" within
// two ticks of the moment nobody holds.
//
// Thread: main thread. No Qt.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace station {

enum class TTxSource : uint8_t {
  Operator,  // the window's "PTT" button, the keyboard
  Radio,     // the radio's own push-to-talk, read on CTS
  Client,    // a rig-control client (id: the connection)
  File,      // a "Tx" file transmission (id: the file's serial number)
  Remote,    // a browser page (id: the session)
};

// "Taste", "Funkgerät (CTS)", "Netzwerk", "Datei", "Fernbedienung": as the log names them.
const char* TxSourceText(TTxSource s);

struct TTxHold {
  TTxSource Source;
  int Id = 0;
  bool OwnSound = false;  // the hold wants the computer's own sound on the air, not the microphone
  bool operator==(const TTxHold&) const = default;
};

class TTxArbiter {
 public:
  // Holds for `source`/`id`; holding again only updates `ownSound`. False (nothing held) when
  // the arbiter refuses holds, e.g. while there is no link.
  bool Hold(TTxSource source, int id = 0, bool ownSound = false);
  // Ends exactly that hold; nothing when it is not held.
  void Release(TTxSource source, int id = 0);
  // Ends every hold of a source, whatever its id.
  void ReleaseAll(TTxSource source);
  // Ends every hold but the radio's own (release, disconnect, time-out). Returns how many.
  int ReleaseStation();

  bool Holds(TTxSource source, int id = 0) const;
  bool HeldBy(TTxSource source) const;
  // Some source other than the radio holds: the station keys the box.
  bool Held() const;
  // A station hold that wants the computer's own sound (command 11, microphone muted).
  bool OwnSound() const;
  const std::vector<TTxHold>& Holds() const { return holds_; }
  // The first station hold by age, as the log and the fronts name who keyed.
  const TTxHold* First() const;

  // Refuses new station holds while false (there is no link: "keyed" would be a lie). Existing
  // holds are ended when it becomes false.
  void SetAccepting(bool accepting);
  bool Accepting() const { return accepting_; }

  // After every change: the hold that came or went, and whether it is held now.
  std::function<void(const TTxHold&, bool held)> OnChange;

 private:
  void Drop(size_t index);
  std::vector<TTxHold> holds_;  // in the order they came
  bool accepting_ = true;
};

}  // namespace station
