// Observer pattern shared by the WAVE file and the mixer, and the base of devices that are
// picked by a device id (the mixer device derives from it).
// Thread: main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "audio/MMDSPObj.h"
#include "rtl/Classes.h"

namespace audio {

class EMMMCIError : public rtl::Exception {
 public:
  EMMMCIError(std::string msg, int code) : rtl::Exception(std::move(msg)), ErrorCode(code) {}
  // The platform's text for `code`, else "MMSystem error: %d".
  static EMMMCIError FromCode(int code);
  int ErrorCode;
};
RTL_DECLARE_EXCEPTION(EMMDeviceError, rtl::Exception);

class TMMObservable;

class TMMObserver : public rtl::TObject {
 public:
  TMMObserver() = default;
  ~TMMObserver() override;
  virtual void Update(rtl::TObject* Data);
  void Lock() { ++lock_; }
  void Unlock() { --lock_; }
  bool Locked() const { return lock_ != 0; }
  TMMObservable* Observable() const { return observable_; }

  std::function<void(rtl::TObject* Sender, rtl::TObject* Data)> OnNotify;

 private:
  friend class TMMObservable;
  TMMObservable* observable_ = nullptr;
  int32_t lock_ = 0;
};

class TMMObservable : public rtl::TObject {
 public:
  TMMObservable() = default;
  ~TMMObservable() override;
  void AddObserver(TMMObserver* O);
  void RemoveObserver(TMMObserver* O);
  // Last added first.
  void NotifyObservers(rtl::TObject* Data);
  int Count() const { return static_cast<int>(observers_.size()); }

 private:
  std::vector<TMMObserver*> observers_;
};

class TMMDeviceChange : public rtl::TObject {};

enum TMMDeviceType : uint8_t { dtMidiIn, dtMidiOut, dtWaveIn, dtWaveOut, dtAux, dtMixer };

class TMMDeviceCaps : public rtl::TPersistent {
 public:
  uint16_t ManufacturerId = 0;
  uint16_t ProductId = 0;
  uint8_t VerMajor = 0;
  uint8_t VerMinor = 0;
  std::string ProductName;
};

// The common head of every device type's capabilities.
struct TMMDeviceCapsHead {
  uint16_t wMid = 0;
  uint16_t wPid = 0;
  uint32_t vDriverVersion = 0;
  std::string szPname;
};

class TMMCustomAudioDevice : public rtl::TMMNonVisualComponent {
 public:
  explicit TMMCustomAudioDevice(rtl::TComponent* AOwner, TMMDeviceType type = dtWaveOut);
  ~TMMCustomAudioDevice() override;

  int DeviceCount();
  const TMMDeviceCaps& DeviceCaps() const { return caps_; }
  bool Mapper();
  bool GetActive() const;
  void SetActive(bool V);
  TMMDeviceId GetDeviceId() const { return DeviceId_; }
  void SetDeviceId(TMMDeviceId V);
  TMMDeviceType GetDeviceType() const { return DeviceType_; }
  void SetDeviceType(TMMDeviceType V);
  // The mixer id belonging to this device; -2 when there is none.
  int GetMixerId();

  void AddObserver(TMMObserver* O) { observable_.AddObserver(O); }
  void RemoveObserver(TMMObserver* O) { observable_.RemoveObserver(O); }

  virtual void Open() { open_ = true; }
  virtual void Close() { open_ = false; }
  virtual void DeviceChanged();
  virtual void Changed();

  void Loaded() override;

  rtl::TNotifyEvent OnChange;

 protected:
  virtual void DoChange() {
    if (OnChange) OnChange(this);
  }
  // Platform queries of this device type; the wave types go through the wave seam, the mixer
  // derives and answers its own. Results are multimedia error codes (0 success).
  virtual int QueryDeviceCount();
  virtual int QueryCaps(TMMDeviceId id, TMMDeviceCapsHead& caps);
  virtual int QueryMixerId(TMMDeviceId id, int& mixerId);
  void RefreshCaps();
  // Stores the id a device now answers to, without closing and reopening it.
  void StoreDeviceId(TMMDeviceId V) { DeviceId_ = V; }

  bool open_ = false;

 private:
  TMMObservable observable_;
  TMMDeviceId DeviceId_ = 0;
  TMMDeviceType DeviceType_;
  TMMDeviceCaps caps_;
  bool loadedActive_ = false;
};

}  // namespace audio
