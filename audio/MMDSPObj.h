// The audio chain: components linked Output -> Input that push filled buffers downstream
// (BufferReady), pull data from upstream into empty buffers (BufferLoad), and carry the wave
// format and the stream's life-cycle notifications along the same links.
//
// Threads: linking, formats and life-cycle notifications on the main thread only. BufferReady and
// BufferLoad run on whichever thread the driving device delivers on (main thread, driver thread or
// a TMMDSPThread); components must not assume the main thread there and use
// SynchronizeIfDSPThread for user events that need it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/wave/Wave.h"
#include "rtl/Classes.h"
#include "rtl/Thread.h"

namespace audio {

using platform::wave::TWaveFormatEx;
using platform::wave::WAVE_FORMAT_PCM;
using PWaveFormatEx = TWaveFormatEx*;

// The platform header followed by the chain's extension. Devices allocate header and data as one
// block, the data right after the header.
struct TMMExtWaveHdr : platform::wave::TWaveHdr {
  uint32_t wSpare1 = 0;
  uint32_t wSpare2 = 0;
  TMMExtWaveHdr* lpPlaying = nullptr;
  int32_t LoopFlag = 0;  // all bits set while the output device loops
  int32_t LoopCount = 0;
  int32_t LoopsLeft = 0;
  int32_t LoopWrapped = 0;  // set by a source that wrapped to its loop start in this buffer
};
using PWaveHdr = TMMExtWaveHdr*;

enum TMMCBMode { cmWindow, cmCallback, cmThread };
enum TMMChannel { chBoth, chLeft, chRight };
enum TMMMode { mMono, mStereo };
enum TMMBits { b8Bit, b16Bit };
enum TMMTimeFormats { tfMillisecond, tfByte, tfSample };
using TMMDeviceId = int32_t;
constexpr TMMDeviceId WAVE_MAPPER = -1;
constexpr TMMDeviceId InvalidId = -2;

// Owned copy of a format: exactly WaveFormatSize bytes, zero-filled first.
struct TWaveFormatFree {
  void operator()(TWaveFormatEx* p) const { ::operator delete(p); }
};
using TWaveFormatPtr = std::unique_ptr<TWaveFormatEx, TWaveFormatFree>;

// 18 for PCM, 18 + cbSize otherwise.
int WaveFormatSize(const TWaveFormatEx* f);
// A copy of `f` (PCM copies have cbSize 0); nothing for a missing format.
TWaveFormatPtr CopyWaveFormat(const TWaveFormatEx* f);
// The same size and bytes.
bool SameWaveFormat(const TWaveFormatEx* a, const TWaveFormatEx* b);
// A PCM format record from rate, bits and channels.
TWaveFormatEx MakePCMFormat(uint32_t rate, uint16_t bits, uint16_t channels);
// Valid PCM as the devices accept it: 8/16 bits, 1/2 channels, 4000..100000 Hz.
bool IsValidPCM(const TWaveFormatEx* f);

class TMMDSPComponent;
using TMMBufferEvent = std::function<void(rtl::TObject* Sender, PWaveHdr lpWaveHdr)>;
using TMMBufferLoadEvent =
    std::function<void(rtl::TObject* Sender, PWaveHdr lpWaveHdr, bool& MoreBuffers)>;

class TMMCustomDSPComponent : public rtl::TMMNonVisualComponent {
 public:
  using rtl::TMMNonVisualComponent::TMMNonVisualComponent;
};

class TMMDSPComponent : public TMMCustomDSPComponent {
 public:
  explicit TMMDSPComponent(rtl::TComponent* AOwner);
  ~TMMDSPComponent() override;

  virtual void UpdateFormat();
  virtual void LinkChanging(TMMDSPComponent* Sender, bool IsOutputSide,
                            const std::string& PropName);
  virtual void SetInput(TMMDSPComponent* Value);
  virtual TMMDSPComponent* GetInput() const { return Input_; }
  virtual void SetOutput(TMMDSPComponent* Value);
  virtual TMMDSPComponent* GetOutput() const { return Output_; }
  virtual void ChangePWaveFormat(PWaveFormatEx Format);
  virtual void SetPWaveFormat(PWaveFormatEx Format);
  virtual PWaveFormatEx GetPWaveFormat() const { return PWaveFormat_.get(); }
  virtual int32_t GetBufferSize() const;
  virtual void SetBufferSize(int32_t Value);
  virtual void Opened();
  virtual void Closed();
  virtual void Started();
  virtual void Paused();
  virtual void Restarted();
  virtual void Stopped();
  virtual void Reset();
  virtual void BufferReady(PWaveHdr lpWaveHdr);
  virtual void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers);
  virtual void SetInputLink(TMMDSPComponent* C, const std::string& PropName);
  virtual void SetOutputLink(TMMDSPComponent* C, const std::string& PropName);
  virtual bool CanConnectInput(TMMDSPComponent* C);
  virtual bool CanConnectOutput(TMMDSPComponent* C);

  void Loaded() override;

  // What the component publishes; stands in for the run-time type information that decides
  // whether a neighbour may link on a side.
  bool PublishesInput() const { return PublishesInput_; }
  bool PublishesOutput() const { return PublishesOutput_; }
  // The neighbour held by the published property `name` ("Input"/"Output"), else none.
  TMMDSPComponent* PublishedLink(const std::string& name) const;

  bool IsOpen() const { return IsOpen_; }
  bool IsStarted() const { return IsStarted_; }
  uint32_t RealBufferSize() const { return RealBufferSize_; }
  const std::string& InputPropName() const { return InputPropName_; }
  const std::string& OutputPropName() const { return OutputPropName_; }

  bool AcceptsInput = false;
  bool AcceptsOutput = false;
  TMMBufferEvent OnBufferReady;
  TMMBufferLoadEvent OnBufferLoad;

  // Every live component, in creation order; carries the link-change broadcast.
  static int DSPComponentCount();

 protected:
  void Notification(rtl::TComponent* AComponent, rtl::TOperation Operation) override;
  // Loading, being read or being destroyed: formats are not pushed on.
  bool Quiet() const;

  bool PublishesInput_ = false;
  bool PublishesOutput_ = false;
  TMMDSPComponent* Input_ = nullptr;
  TMMDSPComponent* Output_ = nullptr;
  TWaveFormatPtr PWaveFormat_;
  int32_t BufferSize_ = 2048;
  uint32_t RealBufferSize_ = 2048;
  bool IsOpen_ = false;
  bool IsStarted_ = false;
  std::string InputPropName_;
  std::string OutputPropName_;
};

class TMMCustomSoundComponent;

// Base of the devices' notification threads; registered while it lives, so that
// SynchronizeIfDSPThread knows a notification thread when it runs on one.
class TMMDSPThread : public rtl::TThread {
 public:
  explicit TMMDSPThread(TMMCustomSoundComponent* AOwner);
  ~TMMDSPThread() override;
  TMMCustomSoundComponent* Owner() const { return owner_; }
  // Called by the thread body once it runs, so the list knows its system id.
  void RegisterCurrent();

 private:
  TMMCustomSoundComponent* owner_;
};

// Runs `fn` on the main thread (and waits) when called on a registered notification thread, else
// calls it directly.
void SynchronizeIfDSPThread(const std::function<void()>& fn);
bool IsDSPThread();

class TMMCustomSoundComponent : public TMMDSPComponent {
 public:
  explicit TMMCustomSoundComponent(rtl::TComponent* AOwner) : TMMDSPComponent(AOwner) {}

  void Opened() override;
  void Closed() override;
  void Started() override;
  void Paused() override;
  void Restarted() override;
  void Stopped() override;
  void Reset() override;

  bool HasUpstreamDevice() const { return HasUpstreamDevice_; }

 protected:
  // The base operations without the walk, for devices that call their own device work.
  void BaseOpened() { TMMDSPComponent::Opened(); }
  void BaseClosed() { TMMDSPComponent::Closed(); }
  void BaseStarted() { TMMDSPComponent::Started(); }
  void BaseStopped() { TMMDSPComponent::Stopped(); }

  bool HasUpstreamDevice_ = false;

 private:
  TMMDSPComponent* SegmentStart(bool markUpstream);
  // Calls `op` on the non-sound components downstream of `start` (Self skipped); the first other
  // sound component ends the walk and gets the call too when `includeNextDevice`.
  void WalkDown(TMMDSPComponent* start, bool includeNextDevice,
                const std::function<void(TMMDSPComponent*)>& op);
};

}  // namespace audio
