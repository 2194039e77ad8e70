#include "mixer/MMMixer.h"

#include <algorithm>
#include <cmath>

#include "rtl/Forms.h"
#include "rtl/SysUtils.h"

namespace mixer {

namespace {

const uint32_t kComponentTypes[] = {
    pm::MIXERLINE_COMPONENTTYPE_DST_DIGITAL,     pm::MIXERLINE_COMPONENTTYPE_DST_HEADPHONES,
    pm::MIXERLINE_COMPONENTTYPE_DST_LINE,        pm::MIXERLINE_COMPONENTTYPE_DST_MONITOR,
    pm::MIXERLINE_COMPONENTTYPE_DST_SPEAKERS,    pm::MIXERLINE_COMPONENTTYPE_DST_TELEPHONE,
    pm::MIXERLINE_COMPONENTTYPE_DST_UNDEFINED,   pm::MIXERLINE_COMPONENTTYPE_DST_VOICEIN,
    pm::MIXERLINE_COMPONENTTYPE_DST_WAVEIN,      pm::MIXERLINE_COMPONENTTYPE_SRC_ANALOG,
    pm::MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY,   pm::MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC,
    pm::MIXERLINE_COMPONENTTYPE_SRC_DIGITAL,     pm::MIXERLINE_COMPONENTTYPE_SRC_LINE,
    pm::MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE,  pm::MIXERLINE_COMPONENTTYPE_SRC_PCSPEAKER,
    pm::MIXERLINE_COMPONENTTYPE_SRC_SYNTHESIZER, pm::MIXERLINE_COMPONENTTYPE_SRC_TELEPHONE,
    pm::MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED,   pm::MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT,
};

const uint32_t kControlTypes[] = {
    pm::MIXERCONTROL_CONTROLTYPE_CUSTOM,       pm::MIXERCONTROL_CONTROLTYPE_BASS,
    pm::MIXERCONTROL_CONTROLTYPE_EQUALIZER,    pm::MIXERCONTROL_CONTROLTYPE_FADER,
    pm::MIXERCONTROL_CONTROLTYPE_TREBLE,       pm::MIXERCONTROL_CONTROLTYPE_VOLUME,
    pm::MIXERCONTROL_CONTROLTYPE_MIXER,        pm::MIXERCONTROL_CONTROLTYPE_MULTIPLESELECT,
    pm::MIXERCONTROL_CONTROLTYPE_MUX,          pm::MIXERCONTROL_CONTROLTYPE_SINGLESELECT,
    pm::MIXERCONTROL_CONTROLTYPE_BOOLEANMETER, pm::MIXERCONTROL_CONTROLTYPE_PEAKMETER,
    pm::MIXERCONTROL_CONTROLTYPE_SIGNEDMETER,  pm::MIXERCONTROL_CONTROLTYPE_UNSIGNEDMETER,
    pm::MIXERCONTROL_CONTROLTYPE_DECIBELS,     pm::MIXERCONTROL_CONTROLTYPE_PERCENT,
    pm::MIXERCONTROL_CONTROLTYPE_SIGNED,       pm::MIXERCONTROL_CONTROLTYPE_UNSIGNED,
    pm::MIXERCONTROL_CONTROLTYPE_PAN,          pm::MIXERCONTROL_CONTROLTYPE_QSOUNDPAN,
    pm::MIXERCONTROL_CONTROLTYPE_SLIDER,       pm::MIXERCONTROL_CONTROLTYPE_BOOLEAN,
    pm::MIXERCONTROL_CONTROLTYPE_BUTTON,       pm::MIXERCONTROL_CONTROLTYPE_LOUDNESS,
    pm::MIXERCONTROL_CONTROLTYPE_MONO,         pm::MIXERCONTROL_CONTROLTYPE_MUTE,
    pm::MIXERCONTROL_CONTROLTYPE_ONOFF,        pm::MIXERCONTROL_CONTROLTYPE_STEREOENH,
    pm::MIXERCONTROL_CONTROLTYPE_MICROTIME,    pm::MIXERCONTROL_CONTROLTYPE_MILLITIME,
};

// Target type per device type (dtMidiIn .. dtMixer).
const uint32_t kTargetTypes[] = {
    pm::MIXERLINE_TARGETTYPE_MIDIIN, pm::MIXERLINE_TARGETTYPE_MIDIOUT,
    pm::MIXERLINE_TARGETTYPE_WAVEIN, pm::MIXERLINE_TARGETTYPE_WAVEOUT,
    pm::MIXERLINE_TARGETTYPE_AUX,    pm::MIXERLINE_TARGETTYPE_UNDEFINED,
};

audio::EMMMCIError SystemError(int code) {
  std::string text = pm::MixerBackend().GetErrorText(code);
  if (text.empty()) text = rtl::Format("MMSystem error: %d", code);
  return audio::EMMMCIError(text, code);
}

bool LineNotFound(int rc) {
  return rc == pm::MIXERR_INVALLINE || rc == platform::MMSYSERR_NODRIVER;
}
bool ControlNotFound(int rc) {
  return rc == pm::MIXERR_INVALCONTROL || LineNotFound(rc);
}

// The device's identity as a line target.
void FillTarget(audio::TMMCustomAudioDevice* d, pm::TMixerTarget& t) {
  t.dwType = kTargetTypes[d->GetDeviceType()];
  const audio::TMMDeviceCaps& caps = d->DeviceCaps();
  t.wMid = caps.ManufacturerId;
  t.wPid = caps.ProductId;
  t.vDriverVersion = static_cast<uint32_t>(caps.VerMajor) * 256 + caps.VerMinor;
  t.szPname = caps.ProductName.substr(0, 31);
}

}  // namespace

uint32_t ComponentTypeToSystem(TMMComponentType t) {
  return kComponentTypes[t];
}

TMMComponentType ComponentTypeFromSystem(uint32_t v) {
  for (size_t i = 0; i < std::size(kComponentTypes); ++i)
    if (kComponentTypes[i] == v) return static_cast<TMMComponentType>(i);
  throw EMMMixerServiceError("Undefined API component type");
}

TMMLineFlags LineFlagsFromSystem(uint32_t v) {
  TMMLineFlags f = 0;
  if (v & pm::MIXERLINE_LINEF_ACTIVE) f |= cfActive;
  if (v & pm::MIXERLINE_LINEF_DISCONNECTED) f |= cfDisconnected;
  if (v & pm::MIXERLINE_LINEF_SOURCE) f |= cfSource;
  return f;
}

uint32_t ControlTypeToSystem(TMMControlType t) {
  return kControlTypes[t];
}

TMMControlType ControlTypeFromSystem(uint32_t v) {
  for (size_t i = 0; i < std::size(kControlTypes); ++i)
    if (kControlTypes[i] == v) return static_cast<TMMControlType>(i);
  return ctCustom;
}

TMMControlClass ControlClassOf(uint32_t systemType) {
  switch (systemType >> 28) {
    case 0x0:
      return ccCustom;
    case 0x1:
      return ccMeter;
    case 0x2:
      return ccSwitch;
    case 0x3:
      return ccNumber;
    case 0x4:
      return ccSlider;
    case 0x5:
      return ccFader;
    case 0x6:
      return ccTime;
    case 0x7:
      return ccList;
    default:
      throw EMMMixerServiceError("Undefined API control class");
  }
}

TMMControlFlags ControlFlagsFromSystem(uint32_t v) {
  TMMControlFlags f = 0;
  if (v & pm::MIXERCONTROL_CONTROLF_DISABLED) f |= cfDisabled;
  if (v & pm::MIXERCONTROL_CONTROLF_MULTIPLE) f |= cfMultiple;
  if (v & pm::MIXERCONTROL_CONTROLF_UNIFORM) f |= cfUniform;
  return f;
}

// =============================================================================================
// TMMMixerDevice

TMMMixerDevice::TMMMixerDevice(rtl::TComponent* AOwner)
    : audio::TMMCustomAudioDevice(AOwner, audio::dtMixer) {
  // The base refreshed its caps before this class could answer for the mixer; do it again. A
  // mixer that is listed but refuses to describe itself must not make the station's window
  // fail to build: its caps stay empty and its lines are simply not found.
  try {
    RefreshCaps();
  } catch (const audio::EMMMCIError&) {
  }
  deviceObserver_.OnNotify = [this](rtl::TObject*, rtl::TObject*) { DeviceChanged(); };
}

TMMMixerDevice::~TMMMixerDevice() {
  Close();
  if (device_) device_->RemoveObserver(&deviceObserver_);
}

int TMMMixerDevice::QueryDeviceCount() {
  return pm::MixerBackend().NumDevs();
}

int TMMMixerDevice::QueryCaps(audio::TMMDeviceId id, audio::TMMDeviceCapsHead& caps) {
  pm::TMixerCaps mc;
  const int rc = pm::MixerBackend().GetDevCaps(id, mc);
  if (rc == 0) {
    caps.wMid = mc.wMid;
    caps.wPid = mc.wPid;
    caps.vDriverVersion = mc.vDriverVersion;
    caps.szPname = mc.szPname;
  }
  return rc;
}

bool TMMMixerDevice::IsValid() {
  // A mixer has no mapper: only an id of an existing device counts. An id beyond the count (the
  // mixer went away) is as invalid as no mixer at all.
  const int id = GetDeviceId();
  return id >= 0 && id < DeviceCount();
}

int TMMMixerDevice::MixerId() {
  if (handle_ == 0) return GetDeviceId();
  int id = GetDeviceId();
  const int rc = pm::MixerBackend().GetID(handle_, id);
  if (rc != 0) throw SystemError(rc);
  if (id != GetDeviceId()) {
    // The open mixer now answers to another number: stored without reopening, and the lines told
    // once to look up again (their lookups ask here and find the id stored).
    StoreDeviceId(id);
    audio::TMMDeviceChange change;
    observable_.NotifyObservers(&change);
  }
  return id;
}

bool TMMMixerDevice::IsDeviceIdStored() {
  if (device_) return device_->GetMixerId() != MixerId();
  return GetDeviceId() != 0;
}

int TMMMixerDevice::Destinations() {
  if (!IsValid()) return 0;
  pm::TMixerCaps caps;
  const int rc = pm::MixerBackend().GetDevCaps(MixerId(), caps);
  if (rc != 0) throw SystemError(rc);
  return static_cast<int>(caps.cDestinations);
}

void TMMMixerDevice::SetDevice(audio::TMMCustomAudioDevice* Value) {
  if (dynamic_cast<TMMMixerDevice*>(Value))
    throw EMMMixerDeviceError("Mixer can't reference mixer");
  if (Value == device_) return;
  const bool wasActive = GetActive();
  Close();
  if (device_) {
    device_->RemoveObserver(&deviceObserver_);
    device_->RemoveFreeNotification(this);
  }
  device_ = Value;
  if (device_) {
    device_->AddObserver(&deviceObserver_);
    device_->FreeNotification(this);
  }
  DeviceChanged();
  if (wasActive) SetActive(true);
}

void TMMMixerDevice::Notification(rtl::TComponent* AComponent, rtl::TOperation Operation) {
  audio::TMMCustomAudioDevice::Notification(AComponent, Operation);
  // Sent from the dying device's base destructor: its observers are already detached.
  if (Operation == rtl::TOperation::opRemove && AComponent == device_) device_ = nullptr;
}

void TMMMixerDevice::DeviceChanged() {
  if (device_) {
    const int id = device_->GetMixerId();
    if (id != GetDeviceId()) {
      // SetDeviceId runs DeviceChanged again with the new id; that round does the rest.
      SetDeviceId(id);
      return;
    }
  }
  audio::TMMCustomAudioDevice::DeviceChanged();
}

void TMMMixerDevice::Changed() {
  audio::TMMDeviceChange change;
  observable_.NotifyObservers(&change);
  audio::TMMCustomAudioDevice::Changed();
}

void TMMMixerDevice::Open() {
  if (handle_ != 0) return;
  if (!IsValid()) throw EMMMixerDeviceError("Device not valid");
  window_ = std::make_unique<rtl::TMessageWindow>([this](rtl::TMessage& m) { HandleMessage(m); });
  pm::TMixerHandle h = 0;
  if (pm::MixerBackend().Open(GetDeviceId(), window_->Handle(), h) != 0) {
    // A mixer that cannot be opened leaves the device closed without a report.
    window_.reset();
    return;
  }
  handle_ = h;
  audio::TMMCustomAudioDevice::Open();
}

void TMMMixerDevice::Close() {
  if (handle_ != 0) pm::MixerBackend().Close(handle_);
  handle_ = 0;
  window_.reset();
  audio::TMMCustomAudioDevice::Close();
}

void TMMMixerDevice::HandleMessage(rtl::TMessage& m) {
  try {
    if (handle_ == 0 || m.WParam != handle_) return;
    if (m.Msg == pm::MM_MIXM_LINE_CHANGE)
      LineChange(static_cast<TMMLineId>(m.LParam));
    else if (m.Msg == pm::MM_MIXM_CONTROL_CHANGE)
      ControlChange(static_cast<TMMControlId>(m.LParam));
  } catch (...) {
    rtl::Application().HandleException(this);
  }
}

void TMMMixerDevice::LineChange(TMMLineId LineId) {
  TMMLineChange change(LineId);
  observable_.NotifyObservers(&change);
  DoLineChange(LineId);
}

void TMMMixerDevice::ControlChange(TMMControlId CtlId) {
  const TMMLineId line = LineOfControl(CtlId);
  TMMControlChange change(line, CtlId);
  observable_.NotifyObservers(&change);
  DoControlChange(line, CtlId);
}

void TMMMixerDevice::DoLineChange(TMMLineId LineId) {
  if (OnLineChange) OnLineChange(this, LineId);
}

void TMMMixerDevice::DoControlChange(TMMLineId LineId, TMMControlId CtlId) {
  if (OnControlChange) OnControlChange(this, LineId, CtlId);
}

bool TMMMixerDevice::LineInfo(pm::TLineQuery how, pm::TMixerLine& line) {
  const int rc = pm::MixerBackend().GetLineInfo(MixerId(), how, line);
  if (rc == 0) return true;
  if (LineNotFound(rc)) return false;
  throw SystemError(rc);
}

bool TMMMixerDevice::ControlById(uint32_t id, pm::TMixerControl& ctl) {
  uint32_t line = 0;
  const int rc = pm::MixerBackend().GetControlById(MixerId(), id, ctl, line);
  if (rc == 0) return true;
  if (ControlNotFound(rc)) return false;
  throw SystemError(rc);
}

bool TMMMixerDevice::ControlByType(uint32_t lineId, uint32_t type, pm::TMixerControl& ctl) {
  const int rc = pm::MixerBackend().GetControlByType(MixerId(), lineId, type, ctl);
  if (rc == 0) return true;
  if (ControlNotFound(rc)) return false;
  throw SystemError(rc);
}

TMMLineId TMMMixerDevice::LineOfControl(TMMControlId id) {
  pm::TMixerControl ctl;
  uint32_t line = 0;
  const int rc = pm::MixerBackend().GetControlById(MixerId(), static_cast<uint32_t>(id), ctl, line);
  if (rc == 0) return static_cast<TMMLineId>(line);
  if (ControlNotFound(rc)) return -1;
  throw SystemError(rc);
}

void TMMMixerDevice::GetValues(uint32_t id, uint32_t channels, uint32_t items,
                               std::vector<int32_t>& values) {
  const int rc = pm::MixerBackend().GetControlValues(MixerId(), id, channels, items, values);
  if (rc != 0) throw SystemError(rc);
  // Whatever the backend hands back, the callers index max(channels,1) x max(items,1) entries.
  values.resize(static_cast<size_t>(std::max<uint32_t>(channels, 1)) *
                std::max<uint32_t>(items, 1));
}

void TMMMixerDevice::SetValues(uint32_t id, uint32_t channels, uint32_t items,
                               const std::vector<int32_t>& v) {
  const int rc = pm::MixerBackend().SetControlValues(MixerId(), id, channels, items, v);
  if (rc != 0) throw SystemError(rc);
}

void TMMMixerDevice::ListTexts(uint32_t id, uint32_t channels, uint32_t items,
                               std::vector<pm::TMixerListText>& texts) {
  const int rc = pm::MixerBackend().GetListTexts(MixerId(), id, channels, items, texts);
  if (rc != 0) throw SystemError(rc);
  texts.resize(static_cast<size_t>(std::max<uint32_t>(channels, 1)) * std::max<uint32_t>(items, 1));
}

// =============================================================================================
// TMMAudioLine

void TMMLineInfo::Clear() {
  Flags = 0;
  Channels = Connections = Controls = 0;
  ShortName.clear();
  Name.clear();
}

TMMAudioLine::TMMAudioLine(rtl::TComponent* AOwner) : rtl::TMMNonVisualComponent(AOwner) {
  mixerObserver_.OnNotify = [this](rtl::TObject*, rtl::TObject* d) { MixerNotify(d); };
  targetObserver_.OnNotify = [this](rtl::TObject*, rtl::TObject*) { UpdateLine(); };
  destObserver_.OnNotify = [this](rtl::TObject*, rtl::TObject* d) {
    if (dynamic_cast<TMMLineIdChange*>(d)) UpdateLine();
  };
}

TMMAudioLine::~TMMAudioLine() {
  if (mixer_) mixer_->RemoveMixerObserver(&mixerObserver_);
  if (target_) target_->RemoveObserver(&targetObserver_);
  if (destLine_) destLine_->RemoveLineObserver(&destObserver_);
}

void TMMAudioLine::SetMixer(TMMMixerDevice* Value) {
  if (Value == mixer_) return;
  if (mixer_) {
    mixer_->RemoveMixerObserver(&mixerObserver_);
    mixer_->RemoveFreeNotification(this);
  }
  mixer_ = Value;
  if (mixer_) {
    mixer_->AddMixerObserver(&mixerObserver_);
    mixer_->FreeNotification(this);
  }
  UpdateLine();
}

void TMMAudioLine::SetLineId(TMMLineId Value) {
  if (Value == lineId_) return;
  lineId_ = Value;
  key_ = TMMLineKey::LineId;
  UpdateLine();
}

void TMMAudioLine::SetComponentType(TMMComponentType Value) {
  if (Value == componentType_) return;
  componentType_ = Value;
  key_ = TMMLineKey::ComponentType;
  UpdateLine();
}

void TMMAudioLine::SetTarget(audio::TMMCustomAudioDevice* Value) {
  if (dynamic_cast<TMMMixerDevice*>(Value)) throw EMMMixerDeviceError("Can't target to mixer");
  if (Value == target_) return;
  if (target_) {
    target_->RemoveObserver(&targetObserver_);
    target_->RemoveFreeNotification(this);
  }
  target_ = Value;
  if (target_) {
    target_->AddObserver(&targetObserver_);
    target_->FreeNotification(this);
  }
  key_ = TMMLineKey::Target;
  UpdateLine();
}

void TMMAudioLine::SetDestLine(rtl::TComponent* Value) {
  auto* line = dynamic_cast<TMMAudioLine*>(Value);
  if (Value && !line) throw EMMMixerDeviceError("DestLine should be TMMAudioLine");
  if (line == this) throw EMMMixerDeviceError("DestLine should be TMMAudioLine");
  if (line == destLine_) return;
  if (destLine_) {
    destLine_->RemoveLineObserver(&destObserver_);
    destLine_->RemoveFreeNotification(this);
  }
  destLine_ = line;
  if (destLine_) {
    destLine_->AddLineObserver(&destObserver_);
    destLine_->FreeNotification(this);
  }
  UpdateLine();
}

void TMMAudioLine::Notification(rtl::TComponent* AComponent, rtl::TOperation Operation) {
  rtl::TMMNonVisualComponent::Notification(AComponent, Operation);
  if (Operation != rtl::TOperation::opRemove) return;
  // Only the reference goes: the line keeps its last LineId and description. The notice comes
  // from the dying component's base destructor, after its observable list has already let our
  // observer go, so nothing of it may be touched here.
  if (AComponent == mixer_) mixer_ = nullptr;
  if (AComponent == target_) target_ = nullptr;
  if (AComponent == destLine_) destLine_ = nullptr;
}

bool TMMAudioLine::IsLineIdStored() const {
  return key_ == TMMLineKey::LineId && lineId_ != -1;
}
bool TMMAudioLine::IsComponentTypeStored() const {
  return key_ == TMMLineKey::ComponentType && componentType_ != ctDstDigital;
}
bool TMMAudioLine::IsTargetStored() const {
  return key_ == TMMLineKey::Target && target_;
}

bool TMMAudioLine::IsFound() {
  return mixer_ && mixer_->IsValid() && lineId_ != -1;
}

void TMMAudioLine::Loaded() {
  rtl::TMMNonVisualComponent::Loaded();
  UpdateLine();
}

bool TMMAudioLine::QueryByKey(pm::TMixerLine& rec) {
  switch (key_) {
    case TMMLineKey::LineId:
      if (lineId_ == -1) return false;
      rec.dwLineID = static_cast<uint32_t>(lineId_);
      return mixer_->LineInfo(pm::TLineQuery::LineId, rec);
    case TMMLineKey::ComponentType:
      rec.dwComponentType = ComponentTypeToSystem(componentType_);
      return mixer_->LineInfo(pm::TLineQuery::ComponentType, rec);
    case TMMLineKey::Target:
      if (!target_) return false;
      FillTarget(target_, rec.Target);
      return mixer_->LineInfo(pm::TLineQuery::TargetType, rec);
  }
  return false;
}

void TMMAudioLine::UpdateLine() {
  if (IsLoading()) return;
  destIndex_ = -1;
  if (mixer_ && mixer_->IsValid()) {
    pm::TMixerLine rec;
    bool found = false;
    if (destLine_) {
      found = destLine_->GetMixer() == mixer_ && destLine_->FindSource(this, rec);
    } else {
      found = QueryByKey(rec);
    }
    if (found) {
      // Translate first: a type outside the table raises before anything changed.
      const TMMComponentType type = ComponentTypeFromSystem(rec.dwComponentType);
      lineId_ = static_cast<TMMLineId>(rec.dwLineID);
      componentType_ = type;
      lineInfo_.Flags = LineFlagsFromSystem(rec.fdwLine);
      lineInfo_.Channels = static_cast<int32_t>(rec.cChannels);
      lineInfo_.Connections = static_cast<int32_t>(rec.cConnections);
      lineInfo_.Controls = static_cast<int32_t>(rec.cControls);
      lineInfo_.ShortName = rec.szShortName.substr(0, 16);
      lineInfo_.Name = rec.szName.substr(0, 64);
      destIndex_ = (lineInfo_.Flags & cfSource) ? -1 : static_cast<int32_t>(rec.dwDestination);
    } else {
      lineId_ = -1;
      lineInfo_.Clear();
    }
  }
  LineIdChanged();
}

bool TMMAudioLine::FindSource(TMMAudioLine* S, pm::TMixerLine& rec) {
  if (IsLoading() || !mixer_ || !mixer_->IsValid() || lineId_ == -1) return false;
  if (lineInfo_.Flags & cfSource) return false;
  if (!S || S->mixer_ != mixer_) return false;
  const bool ok = S->QueryByKey(rec);
  if (!ok) return false;
  if (lineId_ >= 0 && static_cast<uint32_t>(lineId_) == rec.dwDestination) return true;
  if (S->key_ == TMMLineKey::LineId) return false;
  pm::TMixerTarget want;
  if (S->key_ == TMMLineKey::Target) FillTarget(S->target_, want);
  for (int i = 0; i < lineInfo_.Connections; ++i) {
    pm::TMixerLine cand;
    cand.dwDestination = static_cast<uint32_t>(destIndex_);
    cand.dwSource = static_cast<uint32_t>(i);
    if (!mixer_->LineInfo(pm::TLineQuery::Source, cand)) continue;
    bool match = false;
    if (S->key_ == TMMLineKey::ComponentType) {
      match = cand.dwComponentType == ComponentTypeToSystem(S->componentType_);
    } else {
      const pm::TMixerTarget& t = cand.Target;
      match = t.dwType == want.dwType && t.wMid == want.wMid && t.wPid == want.wPid &&
              t.vDriverVersion == want.vDriverVersion && t.szPname == want.szPname;
    }
    if (match) {
      rec = cand;
      return true;
    }
  }
  return false;
}

void TMMAudioLine::MixerNotify(rtl::TObject* Data) {
  if (auto* lc = dynamic_cast<TMMLineChange*>(Data)) {
    if (lineId_ != -1 && lc->LineId == lineId_) LineChanged();
  } else if (auto* cc = dynamic_cast<TMMControlChange*>(Data)) {
    if (lineId_ != -1 && cc->LineId == lineId_) ControlChanged(cc->CtlId);
  } else if (dynamic_cast<audio::TMMDeviceChange*>(Data)) {
    UpdateLine();
  }
}

void TMMAudioLine::LineChanged() {
  TMMLineChange change(lineId_);
  observable_.NotifyObservers(&change);
  if (OnChange) OnChange(this);
}

void TMMAudioLine::LineIdChanged() {
  TMMLineIdChange change;
  observable_.NotifyObservers(&change);
}

void TMMAudioLine::ControlChanged(TMMControlId CtlId) {
  TMMControlChange change(lineId_, CtlId);
  observable_.NotifyObservers(&change);
  if (OnControlChange) OnControlChange(this, lineId_, CtlId);
}

// =============================================================================================
// Controls

void TMMControlInfo::Clear() {
  Flags = 0;
  MultipleItems = 0;
  ShortName.clear();
  Name.clear();
  MinValue = MaxValue = Steps = 0;
}

TMMCustomMixerControl::TMMCustomMixerControl(rtl::TComponent* AOwner)
    : rtl::TMMNonVisualComponent(AOwner) {
  lineObserver_.OnNotify = [this](rtl::TObject*, rtl::TObject* d) { LineNotify(d); };
}

TMMCustomMixerControl::~TMMCustomMixerControl() {
  if (line_) line_->RemoveLineObserver(&lineObserver_);
}

void TMMCustomMixerControl::SetAudioLine(TMMAudioLine* Value) {
  if (Value == line_) return;
  if (line_) {
    line_->RemoveLineObserver(&lineObserver_);
    line_->RemoveFreeNotification(this);
  }
  line_ = Value;
  if (line_) {
    line_->AddLineObserver(&lineObserver_);
    line_->FreeNotification(this);
  }
  UpdateControl();
}

void TMMCustomMixerControl::Notification(rtl::TComponent* AComponent, rtl::TOperation Operation) {
  rtl::TMMNonVisualComponent::Notification(AComponent, Operation);
  // Sent from the dying line's base destructor: its observers are already detached.
  if (Operation == rtl::TOperation::opRemove && AComponent == line_) line_ = nullptr;
}

void TMMCustomMixerControl::SetControlId(TMMControlId Value) {
  if (Value == controlId_) return;
  controlId_ = Value;
  key_ = TMMControlKey::ControlId;
  UpdateControl();
}

void TMMCustomMixerControl::SetControlTypeInternal(TMMControlType Value) {
  if (Value == controlType_) return;
  controlType_ = Value;
  key_ = TMMControlKey::ControlType;
  UpdateControl();
}

void TMMCustomMixerControl::Loaded() {
  rtl::TMMNonVisualComponent::Loaded();
  UpdateControl();
}

bool TMMCustomMixerControl::HasUsableMixer() {
  return line_ && line_->GetMixer() && line_->GetMixer()->IsValid();
}

void TMMCustomMixerControl::UpdateControl() {
  if (!IsLoading() && line_ && line_->IsFound()) {
    TMMMixerDevice* m = line_->GetMixer();
    pm::TMixerControl rec;
    bool found = false;
    if (key_ == TMMControlKey::ControlId)
      found = controlId_ != -1 && m->ControlById(static_cast<uint32_t>(controlId_), rec);
    else
      found = m->ControlByType(static_cast<uint32_t>(line_->GetLineId()),
                               ControlTypeToSystem(controlType_), rec);
    if (found && AcceptControl(rec)) {
      ControlClassOf(rec.dwControlType);  // refuse an unknown class before anything changes
      controlId_ = static_cast<TMMControlId>(rec.dwControlID);
      controlType_ = ControlTypeFromSystem(rec.dwControlType);
      info_.Flags = ControlFlagsFromSystem(rec.fdwControl);
      info_.MultipleItems = static_cast<TMMItemIndex>(rec.cMultipleItems);
      info_.ShortName = rec.szShortName.substr(0, 16);
      info_.Name = rec.szName.substr(0, 64);
      info_.MinValue = rec.lMinimum;
      info_.MaxValue = rec.lMaximum;
      info_.Steps = static_cast<int32_t>(rec.cSteps);
    } else {
      controlId_ = -1;
      info_.Clear();
    }
  }
  controlClass_ = ControlClassOf(ControlTypeToSystem(controlType_));
  if (!IsLoading()) ControlIdChanged();
}

void TMMCustomMixerControl::ControlIdChanged() {
  TMMControlIdChange change;
  observable_.NotifyObservers(&change);
}

void TMMCustomMixerControl::Changed() {
  TMMControlChange change(line_ && line_->GetLineId() != -1 ? line_->GetLineId() : -1, controlId_);
  observable_.NotifyObservers(&change);
  if (OnChange) OnChange(this);
}

void TMMCustomMixerControl::LineNotify(rtl::TObject* Data) {
  if (auto* cc = dynamic_cast<TMMControlChange*>(Data)) {
    if (line_ && cc->LineId == line_->GetLineId() && cc->CtlId == controlId_ && controlId_ != -1)
      Changed();
  } else if (dynamic_cast<TMMLineIdChange*>(Data)) {
    UpdateControl();
  }
}

bool TMMCustomMixerControl::IsAvailable() {
  return line_ && line_->IsFound() && controlId_ != -1;
}

bool TMMCustomMixerControl::AcceptControl(const pm::TMixerControl&) {
  return true;
}

int TMMCustomMixerControl::ChannelCount() {
  if (!HasUsableMixer()) return 0;
  if (info_.Flags & cfUniform) return 1;
  return line_->LineInfo().Channels;
}

int TMMCustomMixerControl::ItemCount() {
  if (!HasUsableMixer()) return 0;
  return info_.MultipleItems;
}

bool TMMCustomMixerControl::ServesItem(TMMItemIndex Item) {
  if (!IsAvailable()) return false;
  if (info_.Flags & cfMultiple) return Item >= 0 && Item < ItemCount();
  return Item == -1;
}

bool TMMCustomMixerControl::EnablesItem(TMMItemIndex Item) {
  return ServesItem(Item) && !(info_.Flags & cfDisabled);
}

void TMMCustomMixerControl::RequireAccess() {
  if (!HasUsableMixer()) throw audio::EMMDeviceError("Mixer required for this operation");
  if (controlId_ == -1) throw audio::EMMDeviceError("Control not valid");
}

TMMItemInfo TMMCustomMixerControl::ItemInfo(TMMItemIndex Index) {
  if (!(info_.Flags & cfMultiple))
    throw EMMMixerControlError("Item info requested from non-multiple control");
  if (Index < 0 || Index >= ItemCount()) throw EMMMixerControlError("Item index out of range");
  RequireAccess();
  const auto channels = static_cast<uint32_t>(ChannelCount());
  const auto items = static_cast<uint32_t>(ItemCount());
  std::vector<pm::TMixerListText> texts;
  line_->GetMixer()->ListTexts(static_cast<uint32_t>(controlId_), channels, items, texts);
  const size_t at = static_cast<size_t>(Index) * std::max<uint32_t>(channels, 1);
  TMMItemInfo out;
  if (at < texts.size()) {
    out.Param1 = texts[at].dwParam1;
    out.Param2 = texts[at].dwParam2;
    out.Name = texts[at].szName.substr(0, 64);
  }
  return out;
}

TMMItemIndex TMMCustomMixerControl::ItemOfLine(TMMAudioLine* Line) {
  if ((controlType_ != ctMixer && controlType_ != ctMux) || !(info_.Flags & cfMultiple) ||
      !IsAvailable() || !Line || !Line->IsFound() || Line->GetLineId() < 0)
    return -1;
  for (TMMItemIndex i = 0; i < ItemCount(); ++i)
    if (ItemInfo(i).Param1 == static_cast<uint32_t>(Line->GetLineId())) return i;
  return -1;
}

TMMCustomMixerControl::Access TMMCustomMixerControl::Prepare(TMMChannel Channel,
                                                             TMMItemIndex Item) {
  RequireAccess();
  const int chanCount = ChannelCount();
  Access a{};
  a.channels = static_cast<uint32_t>(Channel == chBoth ? std::min(chanCount, 1) : chanCount);
  if (Item == -1) {
    a.items = 0;
  } else {
    if (Item < 0 || Item >= ItemCount()) throw EMMMixerControlError("Item index out of range");
    a.items = static_cast<uint32_t>(ItemCount());
  }
  const size_t item = static_cast<size_t>(std::max(Item, 0));
  if (chanCount <= 1 || Channel == chBoth)
    a.index = item;
  else
    a.index = static_cast<size_t>(std::max(chanCount, 1)) * item + (Channel == chRight ? 1 : 0);
  return a;
}

int32_t TMMCustomMixerControl::GetSignedItem(TMMChannel Channel, TMMItemIndex Item) {
  const Access a = Prepare(Channel, Item);
  std::vector<int32_t> v;
  line_->GetMixer()->GetValues(static_cast<uint32_t>(controlId_), a.channels, a.items, v);
  return a.index < v.size() ? v[a.index] : 0;
}

void TMMCustomMixerControl::SetSignedItem(TMMChannel Channel, TMMItemIndex Item, int32_t Value) {
  const Access a = Prepare(Channel, Item);
  std::vector<int32_t> v;
  TMMMixerDevice* m = line_->GetMixer();
  m->GetValues(static_cast<uint32_t>(controlId_), a.channels, a.items, v);
  if (a.index >= v.size()) throw EMMMixerControlError("Item index out of range");
  v[a.index] = Value;
  m->SetValues(static_cast<uint32_t>(controlId_), a.channels, a.items, v);
}

uint32_t TMMCustomMixerControl::GetUnsignedItem(TMMChannel Channel, TMMItemIndex Item) {
  return static_cast<uint32_t>(TMMCustomMixerControl::GetSignedItem(Channel, Item));
}

void TMMCustomMixerControl::SetUnsignedItem(TMMChannel Channel, TMMItemIndex Item, uint32_t Value) {
  TMMCustomMixerControl::SetSignedItem(Channel, Item, static_cast<int32_t>(Value));
}

bool TMMCustomMixerControl::GetBooleanItem(TMMChannel Channel, TMMItemIndex Item) {
  return TMMCustomMixerControl::GetSignedItem(Channel, Item) != 0;
}

void TMMCustomMixerControl::SetBooleanItem(TMMChannel Channel, TMMItemIndex Item, bool Value) {
  const Access a = Prepare(Channel, Item);
  std::vector<int32_t> v;
  TMMMixerDevice* m = line_->GetMixer();
  m->GetValues(static_cast<uint32_t>(controlId_), a.channels, a.items, v);
  if (a.index >= v.size()) throw EMMMixerControlError("Item index out of range");
  const bool plainType =
      (ControlTypeToSystem(controlType_) & pm::MIXERCONTROL_CT_SUBCLASS_MASK) == 0;
  if (a.items > 0 && plainType) {
    // Single-select lists (and plain switches with items): selecting one deselects the others of
    // the same channel. Entries of one channel lie `stride` apart.
    const size_t stride = std::max<uint32_t>(a.channels, 1);
    for (size_t i = a.index % stride; i < v.size(); i += stride) v[i] = 0;
  }
  v[a.index] = Value ? 1 : 0;
  m->SetValues(static_cast<uint32_t>(controlId_), a.channels, a.items, v);
}

bool TMMCustomMixerControl::GetBoolean() {
  return GetBooleanItem(chBoth, -1);
}
void TMMCustomMixerControl::SetBoolean(bool Value) {
  SetBooleanItem(chBoth, -1, Value);
}
uint32_t TMMCustomMixerControl::GetUnsigned() {
  return GetUnsignedItem(chBoth, -1);
}
void TMMCustomMixerControl::SetUnsigned(uint32_t Value) {
  SetUnsignedItem(chBoth, -1, Value);
}
int32_t TMMCustomMixerControl::GetSigned() {
  return GetSignedItem(chBoth, -1);
}
void TMMCustomMixerControl::SetSigned(int32_t Value) {
  SetSignedItem(chBoth, -1, Value);
}

// ---------------------------------------------------------------------------------------------

TMMVolumeControl::TMMVolumeControl(rtl::TComponent* AOwner) : TMMCustomMixerControl(AOwner) {
  controlType_ = ctVolume;
  key_ = TMMControlKey::ControlType;
  UpdateControl();
}

bool TMMVolumeControl::AcceptControl(const pm::TMixerControl& Control) {
  return Control.dwControlType == pm::MIXERCONTROL_CONTROLTYPE_VOLUME;
}

double TMMVolumeControl::LeftFactor() const {
  return pan_ <= 0 ? 1.0 : static_cast<double>(32767 - pan_) / 32767.0;
}

double TMMVolumeControl::RightFactor() const {
  return pan_ >= 0 ? 1.0 : static_cast<double>(pan_ + 32768) / 32768.0;
}

void TMMVolumeControl::SetPanValue(int32_t Value) {
  // Outside -32768..32767 the factors would turn negative or exceed 1.
  Value = std::clamp(Value, -32768, 32767);
  if (Value == pan_) return;
  pan_ = Value;
  if (IsAvailable()) SetSigned(GetSigned());
}

void TMMVolumeControl::SetUnsigned(uint32_t Value) {
  SetUnsignedItem(chLeft, -1, static_cast<uint32_t>(std::trunc(LeftFactor() * Value)));
  SetUnsignedItem(chRight, -1, static_cast<uint32_t>(std::trunc(Value * RightFactor())));
}

void TMMVolumeControl::SetSigned(int32_t Value) {
  SetSignedItem(chLeft, -1, static_cast<int32_t>(std::trunc(LeftFactor() * Value)));
  SetSignedItem(chRight, -1, static_cast<int32_t>(std::trunc(Value * RightFactor())));
}

void TMMVolumeControl::SetSignedItem(TMMChannel Channel, TMMItemIndex Item, int32_t Value) {
  if (Channel != chBoth) {
    TMMCustomMixerControl::SetSignedItem(Channel, Item, Value);
    return;
  }
  TMMCustomMixerControl::SetSignedItem(chLeft, Item,
                                       static_cast<int32_t>(std::trunc(LeftFactor() * Value)));
  TMMCustomMixerControl::SetSignedItem(chRight, Item,
                                       static_cast<int32_t>(std::trunc(Value * RightFactor())));
}

void TMMVolumeControl::SetUnsignedItem(TMMChannel Channel, TMMItemIndex Item, uint32_t Value) {
  if (Channel != chBoth) {
    TMMCustomMixerControl::SetUnsignedItem(Channel, Item, Value);
    return;
  }
  TMMCustomMixerControl::SetUnsignedItem(chLeft, Item,
                                         static_cast<uint32_t>(std::trunc(LeftFactor() * Value)));
  TMMCustomMixerControl::SetUnsignedItem(chRight, Item,
                                         static_cast<uint32_t>(std::trunc(Value * RightFactor())));
}

// ---------------------------------------------------------------------------------------------

TMMControlLink::~TMMControlLink() {
  if (control_) control_->RemoveLink(this);
}

void TMMControlLink::SetControl(TMMCustomMixerControl* Value) {
  if (control_) control_->RemoveLink(this);
  control_ = Value;
  if (control_) control_->AddLink(this);
}

void TMMControlLink::ControlDestroyed() {
  control_ = nullptr;
}

void TMMControlLink::Update(rtl::TObject* Data) {
  if (dynamic_cast<TMMControlChange*>(Data)) {
    if (OnControlChange) OnControlChange(control_);
  } else if (dynamic_cast<TMMControlIdChange*>(Data)) {
    if (OnControlIdChange) OnControlIdChange();
  }
}

}  // namespace mixer
