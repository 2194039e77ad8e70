// What the station says to its interface box and how it reads the answers, behind one interface
// so that a second box type is a second class, not a second copy of the tick.
//
// TKvrBox is the KVR-100: 4800 baud 8N2; one command byte per poll (9 receive, 11 transmit the
// computer's own sound, 15 transmit the microphone); answers of three bytes (0xAA, S value, key
// code); a channel step is a pulse on RTS (up) or DTR (down) whose length the radio needs.
//
// Thread: any; the objects are constant.
#pragma once

#include <array>
#include <cstdint>

namespace station {

struct TLineSettings {
  int Baud = 0;
  int DataBits = 0;
  char Parity = 'N';  // 'N', 'O', 'E'
  int StopBits = 0;
  bool operator==(const TLineSettings&) const = default;
};

enum class TStep : int8_t { None = 0, Up = 1, Down = -1 };
enum class TModemLine : uint8_t { Rts, Dtr };

class IBoxProtocol {
 public:
  virtual ~IBoxProtocol() = default;
  virtual const char* Name() const = 0;
  // How the station's messages name it: as subject ("Die KVR-Box") and after "Verbindung"
  // ("zur KVR-Box").
  virtual const char* Subject() const { return "Die KVR-Box"; }
  virtual const char* After() const { return "zur KVR-Box"; }
  virtual const char* Pronoun() const { return "sie"; }
  virtual TLineSettings Line() const = 0;

  // The command of one poll: receive, or transmit the microphone or the computer's own sound.
  virtual uint8_t ReceiveCommand() const = 0;
  virtual uint8_t MicrophoneCommand() const = 0;
  virtual uint8_t OwnSoundCommand() const = 0;

  // Feeds `n` received bytes into the frame buffer (`length` bytes of it in use). True when the
  // batch ended exactly at the end of a frame; the buffer then holds it.
  virtual bool Assemble(const uint8_t* bytes, int n, std::array<uint8_t, 3>& buffer,
                        int32_t& length) const = 0;
  // The S value and key code of a whole frame.
  virtual uint8_t Strength(const std::array<uint8_t, 3>& frame) const = 0;
  virtual uint8_t Key(const std::array<uint8_t, 3>& frame) const = 0;
  // The channel step a key code held on the box asks for.
  virtual TStep StepForKey(uint8_t key) const = 0;
  // The line pulsed for a step.
  virtual TModemLine StepLine(TStep step) const = 0;
  // How long one step pulse lasts, from the operator's "Scan Puls Länge" setting.
  virtual int64_t PulseMicros(int32_t scanPuls) const = 0;
  // The station's S value (0..127) of a frame's strength byte, with the operator's "S-Meter
  // Empfindlichkeit" (`adjust`, +-32768) and "S-Meter Nullpunkt" (`offset`).
  virtual uint8_t ScaleStrength(uint8_t strength, int32_t adjust, int32_t offset) const = 0;
  // Whether the radio's own push-to-talk is pressed, from the level of the port's CTS line.
  virtual bool RadioKeyed(bool cts) const = 0;
};

class TKvrBox final : public IBoxProtocol {
 public:
  static constexpr uint8_t kSync = 0xAA;
  static constexpr uint8_t kReceive = 9;
  static constexpr uint8_t kOwnSound = 11;
  static constexpr uint8_t kMicrophone = 15;
  // One pulse never holds the station longer than half a second.
  static constexpr int32_t kMaxScanPuls = 50000;

  const char* Name() const override { return "KVR-100"; }
  TLineSettings Line() const override { return {4800, 8, 'N', 2}; }
  uint8_t ReceiveCommand() const override { return kReceive; }
  uint8_t MicrophoneCommand() const override { return kMicrophone; }
  uint8_t OwnSoundCommand() const override { return kOwnSound; }
  bool Assemble(const uint8_t* bytes, int n, std::array<uint8_t, 3>& buffer,
                int32_t& length) const override;
  uint8_t Strength(const std::array<uint8_t, 3>& frame) const override { return frame[1]; }
  uint8_t Key(const std::array<uint8_t, 3>& frame) const override { return frame[2]; }
  TStep StepForKey(uint8_t key) const override;
  TModemLine StepLine(TStep step) const override {
    return step == TStep::Down ? TModemLine::Dtr : TModemLine::Rts;
  }
  int64_t PulseMicros(int32_t scanPuls) const override;
  uint8_t ScaleStrength(uint8_t strength, int32_t adjust, int32_t offset) const override;
  // CTS is on while the radio's push-to-talk is released.
  bool RadioKeyed(bool cts) const override { return !cts; }
};

// The box a station speaks to unless it is given another.
const IBoxProtocol& KvrBox();

}  // namespace station
