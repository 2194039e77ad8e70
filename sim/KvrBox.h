// The KVR-100 interface box with the CB radio behind it and the band the radio hears, as the far
// end of a simulated serial wire (platform/serial/Sim.h). The station talks to it only through
// its serial port component, exactly as to the real box; tests and operators drive the radio's
// side through this class. It is meant to be as hard to please as the real box:
//
// - Line settings: the box's UART runs at 4800 baud, 8 data bits, no parity, 2 stop bits. A host
//   port set otherwise garbles both ways exactly as a UART would (sim/Uart.h): the box gets other
//   bytes or none, and the host reads garbage with framing or parity errors.
// - Bytes take time: one character is 11 bit times, about 2.3 ms at 4800 baud. A command byte
//   arrives at the box when its last bit has, and a frame is on the line for about 6.9 ms after
//   the box's own answer delay. Nothing is answered inside the host's Write.
// - Every command byte received cleanly is recorded and answered with the frame 0xAA, S, key: S
//   the strength of the radio's channel in the band (0 while the radio transmits), key the code
//   of the box key held down (0 for none). 9 is receive, 11 transmit own sound, 15 transmit the
//   microphone; a byte received with a framing error is dropped unanswered.
// - Channel pulses: RTS high then low steps the radio's channel up, DTR down, with the radio's
//   own wrap-around inside its channel range (a "reversed" radio steps the other way). A pulse
//   shorter than the radio's minimum (SetMinPulseMs, 5 ms by default) is not seen. The station's
//   connect sequence ends with one RTS pulse; the box takes the first RTS pulse after the port
//   opened as that wake-up, which steps nothing, so that the station's channel count and the
//   radio agree after connecting.
// - CTS is on while the radio's push-to-talk is released and off while it is pressed.
// - The box has no watchdog: it keeps doing what the last command said, also after the port
//   closed or the cable was pulled. A radio left on 11 or 15 stays keyed until a 9 arrives; the
//   station must send it before it lets the port go.
//
// Time: the box has its own clock in microseconds that the owner advances (Advance, AdvanceUs)
// by hand in tests, or by StartRealTime from a thread of its own. The band (AddSignal) runs on
// that clock whether or not anybody polls.
//
// Threads: every function may be called from any thread (one internal lock).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial/Sim.h"
#include "sim/Uart.h"

namespace sim {

constexpr uint8_t kFrameSync = 0xAA;

class KvrBox : public platform::SimPeer {
 public:
  // Attaches to `wire` as its peer; the destructor detaches again.
  explicit KvrBox(std::shared_ptr<platform::SimWire> wire);
  ~KvrBox() override;
  KvrBox(const KvrBox&) = delete;
  KvrBox& operator=(const KvrBox&) = delete;

  // Creates a wire, registers it under `wireName` (a port mapped to "sim" or "sim:<wireName>"
  // opens it) and starts a box on it in real time.
  static std::shared_ptr<KvrBox> StartSimulator(const std::string& wireName = "sim");

  const std::shared_ptr<platform::SimWire>& Wire() const { return wire_; }

  // --- time ---
  void Advance(int64_t ms);  // sends the answers that are due by then
  void AdvanceUs(int64_t us);
  // Runs the box clock on `nowUs` (e.g. the tests' manual clock) plus whatever Advance added, so
  // that pulses timed by the station's timers last as long on the box as on the station. Answers
  // still leave only in Advance. Not together with StartRealTime.
  void SetClock(std::function<int64_t()> nowUs);
  int64_t NowMs() const;
  int64_t NowUs() const;
  // Runs the clock from a thread of its own in real time until destruction; the thread wakes
  // only when an answer byte is due.
  void StartRealTime();

  // --- answers ---
  void SetAnswerDelay(int ms);
  // Split frames: 0xAA goes out at the answer time, S and key `gapMs` later.
  void SetSplitFrames(bool split, int gapMs = 1);
  // One stray byte before every frame (a garbled line), or none.
  void SetLeadingGarbage(std::optional<uint8_t> byte);
  void SetSilent(bool silent);  // takes commands but answers nothing
  // Answer bytes on their way that are not due yet.
  size_t PendingBytes() const;
  // Bytes the box received with a framing error (garbled line settings) and dropped.
  int DroppedBytes() const;

  // --- the operator's side of box and radio ---
  void PressKey(uint8_t code);
  void ReleaseKey() { PressKey(0); }
  void SetPTT(bool pressed);
  bool PTT() const;

  // --- radio ---
  int Channel() const;
  void SetChannel(int channel);
  // The radio's channel mode: 12 channels are 4..15, 40 are 1..40, 80 are 1..80.
  void SetChannelRange(int first, int last);
  void SetReversed(bool reversed);
  // The shortest pulse the radio takes as a step (a shorter one is lost), in milliseconds.
  void SetMinPulseMs(double ms);
  int ShortPulses() const;  // pulses that were too short to step
  // The length of every pulse seen on RTS or DTR, in order, in microseconds of the box's clock.
  std::vector<int64_t> PulseLengths() const;
  // Times both lines were up at once: two pulses overlapping, which no radio can count.
  int Overlaps() const;
  int UpPulses() const;
  int DownPulses() const;
  bool Connected() const;  // the connect pulse was seen since the port opened
  // The transmitter is keyed: by the radio's push-to-talk or by the commands 11 and 15.
  bool Transmitting() const;

  // --- band ---
  void SetSignal(int channel, uint8_t strength);  // a steady carrier (0: none)
  // A carrier on `channel` during [fromMs, toMs) of the box clock.
  void AddSignal(int channel, uint8_t strength, int64_t fromMs, int64_t toMs);
  void ClearBand();
  uint8_t SignalAt(int channel) const;  // what the receiver hears there now
  // Bytes put on the wire for the host so far, as its UART took them (garbled or not): what a
  // test waits for instead of waiting a while.
  uint64_t BytesToHost() const;

  // --- record ---
  std::vector<uint8_t> Commands() const;
  void ClearCommands();
  uint8_t LastCommand() const;  // 9 until a command arrived
  // Called (under the box's lock, on the thread that wrote the byte) for every command that
  // differs from the one before, with the moment it arrived on the steady clock, so that another
  // process can set the box's keying against what it heard. Empty: nothing is told.
  using CommandLog = std::function<void(uint8_t command, std::chrono::steady_clock::time_point)>;
  void SetCommandLog(CommandLog log);
  // A CommandLog that appends "<steady-clock ms> <command>" lines to `path` (kanalo.conf
  // "sim.log"); empty when the file cannot be opened.
  static CommandLog FileCommandLog(const std::string& path);

  // SimPeer
  void HostOpened() override;
  void HostClosed() override;
  void HostBytes(const uint8_t* data, size_t count) override;
  void HostLines(bool dtr, bool rts) override;

 private:
  struct Pending {
    int64_t due;  // µs
    std::vector<uint8_t> bytes;
  };
  struct Burst {
    int channel;
    uint8_t strength;
    int64_t from, to;
  };
  void StepLocked(int direction);
  uint8_t SignalAtLocked(int channel) const;
  std::vector<uint8_t> TakeDueLocked();
  void AdvanceLocked(int64_t us);
  // Now on the box clock; in real time the exact moment, not the last step of the clock thread.
  int64_t NowUsLocked() const;
  UartFormat HostFormatLocked() const;
  // Takes one pulse edge of RTS (up) or DTR (down) that lasted `lengthUs`.
  void PulseLocked(bool up, int64_t lengthUs);

  std::shared_ptr<platform::SimWire> wire_;
  mutable std::mutex mu_;
  int64_t now_us_ = 0;
  bool real_time_ = false;
  std::function<int64_t()> clock_;
  std::chrono::steady_clock::time_point real_base_{};
  int64_t real_base_us_ = 0;
  double min_pulse_us_ = 5000;
  int short_pulses_ = 0;
  std::vector<int64_t> pulse_lengths_;
  int overlaps_ = 0;
  int dropped_ = 0;
  int64_t rts_since_ = 0, dtr_since_ = 0;
  int delay_ = 0;
  bool split_ = false;
  int split_gap_ = 1;
  std::optional<uint8_t> garbage_;
  bool silent_ = false;
  uint8_t key_ = 0;
  bool ptt_ = false;
  int channel_ = 1, first_ = 1, last_ = 40;
  uint64_t to_host_ = 0;
  bool reversed_ = false;
  int up_ = 0, down_ = 0;
  bool armed_ = false;
  bool dtr_ = false, rts_ = false;
  uint8_t steady_[81] = {};
  std::vector<Burst> bursts_;
  std::vector<uint8_t> commands_;
  uint8_t last_command_ = 9;
  CommandLog log_;
  std::vector<Pending> pending_;

  std::thread clock_thread_;
  std::condition_variable clock_cv_;  // under mu_: a new answer on its way, or the end
  bool stop_clock_ = false;
};

}  // namespace sim
