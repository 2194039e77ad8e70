#include "audio/MMDevice.h"

#include <algorithm>

#include "rtl/SysUtils.h"

namespace audio {

namespace pw = platform::wave;

EMMMCIError EMMMCIError::FromCode(int code) {
  std::string text = pw::StandardErrorText(code);
  if (text.empty()) text = rtl::Format("MMSystem error: %d", code);
  return EMMMCIError(text, code);
}

TMMObserver::~TMMObserver() {
  if (observable_) observable_->RemoveObserver(this);
}

void TMMObserver::Update(rtl::TObject* Data) {
  if (lock_ == 0 && OnNotify) OnNotify(this, Data);
}

TMMObservable::~TMMObservable() {
  while (!observers_.empty()) RemoveObserver(observers_.back());
}

void TMMObservable::AddObserver(TMMObserver* O) {
  if (!O) return;
  if (O->observable_) O->observable_->RemoveObserver(O);
  observers_.push_back(O);
  O->observable_ = this;
}

void TMMObservable::RemoveObserver(TMMObserver* O) {
  if (!O || O->observable_ != this) return;
  observers_.erase(std::remove(observers_.begin(), observers_.end(), O), observers_.end());
  O->observable_ = nullptr;
}

void TMMObservable::NotifyObservers(rtl::TObject* Data) {
  // An observer may detach itself (or others) while being told; walk a snapshot and skip those
  // that left meanwhile.
  const std::vector<TMMObserver*> snapshot = observers_;
  for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it)
    if (std::find(observers_.begin(), observers_.end(), *it) != observers_.end())
      (*it)->Update(Data);
}

// ---------------------------------------------------------------------------------------------

TMMCustomAudioDevice::TMMCustomAudioDevice(rtl::TComponent* AOwner, TMMDeviceType type)
    : rtl::TMMNonVisualComponent(AOwner), DeviceType_(type) {
  RefreshCaps();
}

TMMCustomAudioDevice::~TMMCustomAudioDevice() {
  // Derived devices close themselves in their own destructors; here only the flag remains.
  open_ = false;
}

int TMMCustomAudioDevice::QueryDeviceCount() {
  switch (DeviceType_) {
    case dtWaveIn:
      return pw::WaveBackend().NumDevs(pw::TWaveDir::In);
    case dtWaveOut:
      return pw::WaveBackend().NumDevs(pw::TWaveDir::Out);
    default:
      return 0;  // no MIDI, aux or mixer devices behind this base
  }
}

int TMMCustomAudioDevice::QueryCaps(TMMDeviceId id, TMMDeviceCapsHead& caps) {
  if (DeviceType_ != dtWaveIn && DeviceType_ != dtWaveOut) return platform::MMSYSERR_BADDEVICEID;
  pw::TWaveCaps wc;
  const int rc = pw::WaveBackend().GetDevCaps(
      DeviceType_ == dtWaveIn ? pw::TWaveDir::In : pw::TWaveDir::Out, id, wc);
  if (rc == 0) {
    caps.wMid = wc.wMid;
    caps.wPid = wc.wPid;
    caps.vDriverVersion = wc.vDriverVersion;
    caps.szPname = wc.szPname;
  }
  return rc;
}

int TMMCustomAudioDevice::QueryMixerId(TMMDeviceId, int& mixerId) {
  mixerId = -1;
  return platform::MMSYSERR_NODRIVER;
}

int TMMCustomAudioDevice::DeviceCount() {
  return QueryDeviceCount();
}

bool TMMCustomAudioDevice::Mapper() {
  TMMDeviceCapsHead head;
  const int rc = QueryCaps(WAVE_MAPPER, head);
  if (rc == 0) return true;
  if (rc == platform::MMSYSERR_BADDEVICEID || rc == platform::MMSYSERR_INVALHANDLE) return false;
  throw EMMMCIError::FromCode(rc);
}

bool TMMCustomAudioDevice::GetActive() const {
  return IsLoading() ? loadedActive_ : open_;
}

void TMMCustomAudioDevice::SetActive(bool V) {
  if (IsLoading()) {
    loadedActive_ = V;
    return;
  }
  if (V == open_) return;
  Close();
  if (V) Open();
}

void TMMCustomAudioDevice::Loaded() {
  rtl::TMMNonVisualComponent::Loaded();
  if (loadedActive_ != open_) SetActive(loadedActive_);
}

void TMMCustomAudioDevice::SetDeviceId(TMMDeviceId V) {
  if (V != 0 && V != WAVE_MAPPER && V != InvalidId && (V < 0 || V >= DeviceCount()))
    throw EMMDeviceError("Device id is out of range");
  if (V == DeviceId_) return;
  const bool wasActive = GetActive();
  Close();
  DeviceId_ = V;
  DeviceChanged();
  if (wasActive) SetActive(true);
}

void TMMCustomAudioDevice::SetDeviceType(TMMDeviceType V) {
  if (V == DeviceType_) return;
  Close();
  DeviceType_ = V;
  DeviceId_ = 0;
  DeviceChanged();
}

void TMMCustomAudioDevice::RefreshCaps() {
  caps_.ManufacturerId = caps_.ProductId = 0;
  caps_.VerMajor = caps_.VerMinor = 0;
  caps_.ProductName.clear();
  if (DeviceCount() >= 1 && DeviceId_ != InvalidId) {
    TMMDeviceCapsHead head;
    const int rc = QueryCaps(DeviceId_, head);
    if (rc != 0) throw EMMMCIError::FromCode(rc);
    caps_.ManufacturerId = head.wMid;
    caps_.ProductId = head.wPid;
    caps_.VerMajor = static_cast<uint8_t>((head.vDriverVersion >> 8) & 0xFF);
    caps_.VerMinor = static_cast<uint8_t>(head.vDriverVersion & 0xFF);
    caps_.ProductName = head.szPname.substr(0, head.szPname.find('\0'));
  }
}

void TMMCustomAudioDevice::DeviceChanged() {
  RefreshCaps();
  Changed();
}

void TMMCustomAudioDevice::Changed() {
  TMMDeviceChange change;  // freed on every path, also when an observer raises
  observable_.NotifyObservers(&change);
  DoChange();
}

int TMMCustomAudioDevice::GetMixerId() {
  int id = -1;
  const int rc = QueryMixerId(DeviceId_, id);
  if (rc != 0 && rc != platform::MMSYSERR_NODRIVER) throw EMMMCIError::FromCode(rc);
  if (rc != 0 || id == -1) return -2;
  return id;
}

}  // namespace audio
