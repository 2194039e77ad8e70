// Mixer device, lines and controls: the non-visual side of the sound card's mixer.
//
// `TMMMixerDevice` carries every call into the mixer seam; `TMMAudioLine` finds one line (the
// speakers, line in, microphone, ...) on it and keeps its description; a control component finds
// one control of a line and reads and writes its values per channel and item. Changes travel
// down observer lists: device -> lines -> controls -> links of the bound widgets.
//
// Thread: main thread only. The mixer's change notifications reach the device's message window
// from the backend's thread and are handled on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/MMDevice.h"
#include "platform/mixer/Mixer.h"
#include "rtl/Classes.h"
#include "rtl/Messages.h"

namespace mixer {

namespace pm = platform::mixer;

class EMMMixerDeviceError : public audio::EMMDeviceError {
 public:
  explicit EMMMixerDeviceError(std::string msg) : audio::EMMDeviceError(std::move(msg)) {}
};
RTL_DECLARE_EXCEPTION(EMMMixerServiceError, rtl::Exception);
RTL_DECLARE_EXCEPTION(EMMMixerControlError, rtl::Exception);

using TMMLineId = int32_t;
using TMMControlId = int32_t;
using TMMItemIndex = int32_t;
constexpr TMMLineId badLineId = -1;
constexpr TMMControlId badControlId = -1;
constexpr TMMItemIndex NoItem = -1;

enum TMMComponentType {
  ctDstDigital,
  ctDstHeadPhones,
  ctDstLine,
  ctDstMonitor,
  ctDstSpeakers,
  ctDstTelephone,
  ctDstUndefined,
  ctDstVoiceIn,
  ctDstWaveIn,
  ctSrcAnalog,
  ctSrcAux,
  ctSrcCD,
  ctSrcDigital,
  ctSrcLine,
  ctSrcMicrophone,
  ctSrcPCSpeaker,
  ctSrcSynthesizer,
  ctSrcTelephone,
  ctSrcUndefined,
  ctSrcWaveOut
};
uint32_t ComponentTypeToSystem(TMMComponentType t);
// Raises EMMMixerServiceError "Undefined API component type" for a value outside the table.
TMMComponentType ComponentTypeFromSystem(uint32_t v);

// Sets are bit masks of these.
enum TMMLineFlag : uint32_t { cfActive = 1, cfDisconnected = 2, cfSource = 4 };
using TMMLineFlags = uint32_t;
TMMLineFlags LineFlagsFromSystem(uint32_t v);

enum TMMControlType {
  ctCustom,
  ctBass,
  ctEqualizer,
  ctFader,
  ctTreble,
  ctVolume,
  ctMixer,
  ctMultipleSelect,
  ctMux,
  ctSingleSelect,
  ctBooleanMeter,
  ctPeakMeter,
  ctSignerMeter,
  ctUnsignedMeter,
  ctDecibels,
  ctPercent,
  ctSigned,
  ctUnsigned,
  ctPan,
  ctQSoundPan,
  ctSlider,
  ctBoolean,
  ctButton,
  ctLoudness,
  ctMono,
  ctMute,
  ctOnOff,
  ctStereoEnh,
  ctMicroTime,
  ctMilliTime
};
uint32_t ControlTypeToSystem(TMMControlType t);
TMMControlType ControlTypeFromSystem(uint32_t v);  // ctCustom outside the table

enum TMMControlClass { ccCustom, ccFader, ccList, ccMeter, ccNumber, ccSlider, ccSwitch, ccTime };
// Raises EMMMixerServiceError "Undefined API control class" for class bits outside the table.
TMMControlClass ControlClassOf(uint32_t systemType);

enum TMMControlFlag : uint32_t { cfDisabled = 1, cfMultiple = 2, cfUniform = 4 };
using TMMControlFlags = uint32_t;
TMMControlFlags ControlFlagsFromSystem(uint32_t v);

enum TMMChannel { chBoth, chLeft, chRight };

// --- notifications ---------------------------------------------------------------------------
class TMMMixerChange : public rtl::TObject {};
class TMMLineChange : public TMMMixerChange {
 public:
  explicit TMMLineChange(TMMLineId id) : LineId(id) {}
  TMMLineId LineId;
};
class TMMControlChange : public TMMMixerChange {
 public:
  TMMControlChange(TMMLineId l, TMMControlId c) : LineId(l), CtlId(c) {}
  TMMLineId LineId;
  TMMControlId CtlId;
};
class TMMLineIdChange : public TMMMixerChange {};
class TMMControlIdChange : public TMMMixerChange {};

using TMMLineChangeEvent = std::function<void(rtl::TObject* Sender, TMMLineId LineId)>;
using TMMControlChangeEvent =
    std::function<void(rtl::TObject* Sender, TMMLineId LineId, TMMControlId CtlId)>;

// --- device ----------------------------------------------------------------------------------
class TMMMixerDevice : public audio::TMMCustomAudioDevice {
 public:
  explicit TMMMixerDevice(rtl::TComponent* AOwner);
  ~TMMMixerDevice() override;

  audio::TMMCustomAudioDevice* GetDevice() const { return device_; }
  void SetDevice(audio::TMMCustomAudioDevice* Value);
  int Destinations();
  // The mixer number: asked from the open handle (and adopted when it moved), else DeviceId.
  int MixerId();
  // A mixer is present and one is chosen.
  bool IsValid();
  bool IsDeviceIdStored();

  void AddMixerObserver(audio::TMMObserver* O) { observable_.AddObserver(O); }
  void RemoveMixerObserver(audio::TMMObserver* O) { observable_.RemoveObserver(O); }

  // Seam calls; "not found" is false, any other failure raises EMMMCIError.
  bool LineInfo(pm::TLineQuery how, pm::TMixerLine& line);
  bool ControlById(uint32_t id, pm::TMixerControl& ctl);
  bool ControlByType(uint32_t lineId, uint32_t type, pm::TMixerControl& ctl);
  TMMLineId LineOfControl(TMMControlId id);
  void GetValues(uint32_t id, uint32_t channels, uint32_t items, std::vector<int32_t>& values);
  void SetValues(uint32_t id, uint32_t channels, uint32_t items, const std::vector<int32_t>& v);
  void ListTexts(uint32_t id, uint32_t channels, uint32_t items,
                 std::vector<pm::TMixerListText>& texts);

  void Open() override;
  void Close() override;
  void DeviceChanged() override;
  void Changed() override;
  virtual void LineChange(TMMLineId LineId);
  virtual void ControlChange(TMMControlId CtlId);

  TMMLineChangeEvent OnLineChange;
  TMMControlChangeEvent OnControlChange;

 protected:
  virtual void DoLineChange(TMMLineId LineId);
  virtual void DoControlChange(TMMLineId LineId, TMMControlId CtlId);
  int QueryDeviceCount() override;
  int QueryCaps(audio::TMMDeviceId id, audio::TMMDeviceCapsHead& caps) override;
  void Notification(rtl::TComponent* AComponent, rtl::TOperation Operation) override;

 private:
  void HandleMessage(rtl::TMessage& m);

  pm::TMixerHandle handle_ = 0;
  std::unique_ptr<rtl::TMessageWindow> window_;
  audio::TMMObserver deviceObserver_;
  audio::TMMObservable observable_;
  audio::TMMCustomAudioDevice* device_ = nullptr;
};

// --- line ------------------------------------------------------------------------------------
class TMMLineInfo : public rtl::TPersistent {
 public:
  TMMLineFlags Flags = 0;
  int32_t Channels = 0;
  int32_t Connections = 0;
  int32_t Controls = 0;
  std::string ShortName;
  std::string Name;
  void Clear();
};

enum class TMMLineKey { LineId, ComponentType, Target };

class TMMAudioLine : public rtl::TMMNonVisualComponent {
 public:
  explicit TMMAudioLine(rtl::TComponent* AOwner);
  ~TMMAudioLine() override;

  TMMMixerDevice* GetMixer() const { return mixer_; }
  void SetMixer(TMMMixerDevice* Value);
  TMMLineId GetLineId() const { return lineId_; }
  void SetLineId(TMMLineId Value);
  TMMComponentType GetComponentType() const { return componentType_; }
  void SetComponentType(TMMComponentType Value);
  audio::TMMCustomAudioDevice* GetTarget() const { return target_; }
  void SetTarget(audio::TMMCustomAudioDevice* Value);
  TMMAudioLine* GetDestLine() const { return destLine_; }
  // Takes any component so that a wrong kind is refused with the component's own message.
  void SetDestLine(rtl::TComponent* Value);
  const TMMLineInfo& LineInfo() const { return lineInfo_; }
  int32_t DestinationIndex() const { return destIndex_; }
  TMMLineKey LookupKey() const { return key_; }

  bool IsLineIdStored() const;
  bool IsComponentTypeStored() const;
  bool IsTargetStored() const;

  // The line is found on a usable mixer.
  bool IsFound();
  void UpdateLine();
  // Called on a destination line: finds source line `S` among its connections.
  bool FindSource(TMMAudioLine* S, pm::TMixerLine& rec);

  void AddLineObserver(audio::TMMObserver* O) { observable_.AddObserver(O); }
  void RemoveLineObserver(audio::TMMObserver* O) { observable_.RemoveObserver(O); }

  void Loaded() override;

  rtl::TNotifyEvent OnChange;
  TMMControlChangeEvent OnControlChange;

 protected:
  virtual void LineChanged();
  virtual void LineIdChanged();
  virtual void ControlChanged(TMMControlId CtlId);
  void Notification(rtl::TComponent* AComponent, rtl::TOperation Operation) override;

 private:
  bool QueryByKey(pm::TMixerLine& rec);
  void MixerNotify(rtl::TObject* Data);

  TMMLineId lineId_ = -1;
  int32_t destIndex_ = -1;
  TMMAudioLine* destLine_ = nullptr;
  audio::TMMObserver destObserver_;
  TMMLineInfo lineInfo_;
  TMMComponentType componentType_ = ctDstDigital;
  TMMMixerDevice* mixer_ = nullptr;
  audio::TMMObserver mixerObserver_;
  TMMLineKey key_ = TMMLineKey::LineId;
  audio::TMMCustomAudioDevice* target_ = nullptr;
  audio::TMMObserver targetObserver_;
  audio::TMMObservable observable_;
};

// --- controls --------------------------------------------------------------------------------
class TMMControlInfo : public rtl::TPersistent {
 public:
  TMMControlFlags Flags = 0;
  TMMItemIndex MultipleItems = 0;
  std::string ShortName;
  std::string Name;
  int32_t MinValue = 0;
  int32_t MaxValue = 0;
  int32_t Steps = 0;
  void Clear();
};

struct TMMItemInfo {
  uint32_t Param1 = 0;
  uint32_t Param2 = 0;
  std::string Name;
};

enum class TMMControlKey { ControlId, ControlType };

class TMMCustomMixerControl : public rtl::TMMNonVisualComponent {
 public:
  explicit TMMCustomMixerControl(rtl::TComponent* AOwner);
  ~TMMCustomMixerControl() override;

  TMMAudioLine* GetAudioLine() const { return line_; }
  void SetAudioLine(TMMAudioLine* Value);
  TMMControlId GetControlId() const { return controlId_; }
  void SetControlId(TMMControlId Value);
  TMMControlType GetControlType() const { return controlType_; }
  TMMControlClass GetControlClass() const { return controlClass_; }
  const TMMControlInfo& ControlInfo() const { return info_; }
  TMMControlKey LookupKey() const { return key_; }
  bool IsControlIdStored() const { return key_ == TMMControlKey::ControlId && controlId_ != -1; }

  virtual void UpdateControl();
  virtual void Changed();
  virtual void ControlIdChanged();
  virtual bool GetBoolean();
  virtual void SetBoolean(bool Value);
  virtual uint32_t GetUnsigned();
  virtual void SetUnsigned(uint32_t Value);
  virtual int32_t GetSigned();
  virtual void SetSigned(int32_t Value);
  virtual bool IsAvailable();
  virtual bool AcceptControl(const pm::TMixerControl& Control);
  virtual int ChannelCount();
  virtual int ItemCount();
  virtual int32_t GetSignedItem(TMMChannel Channel, TMMItemIndex Item);
  virtual void SetSignedItem(TMMChannel Channel, TMMItemIndex Item, int32_t Value);
  virtual uint32_t GetUnsignedItem(TMMChannel Channel, TMMItemIndex Item);
  virtual void SetUnsignedItem(TMMChannel Channel, TMMItemIndex Item, uint32_t Value);
  virtual bool GetBooleanItem(TMMChannel Channel, TMMItemIndex Item);
  virtual void SetBooleanItem(TMMChannel Channel, TMMItemIndex Item, bool Value);

  TMMItemInfo ItemInfo(TMMItemIndex Index);
  // The item that stands for `Line` in a mixer or mux control; -1 when there is none.
  TMMItemIndex ItemOfLine(TMMAudioLine* Line);
  // Whether the control serves / enables item `Item` (-1: the control's single value).
  bool ServesItem(TMMItemIndex Item);
  bool EnablesItem(TMMItemIndex Item);
  // A line on a valid mixer: value access is possible.
  bool HasUsableMixer();

  void AddLink(audio::TMMObserver* O) { observable_.AddObserver(O); }
  void RemoveLink(audio::TMMObserver* O) { observable_.RemoveObserver(O); }

  void Loaded() override;

  rtl::TNotifyEvent OnChange;

 protected:
  void SetControlTypeInternal(TMMControlType Value);
  void Notification(rtl::TComponent* AComponent, rtl::TOperation Operation) override;

  TMMControlType controlType_ = ctCustom;
  TMMControlKey key_ = TMMControlKey::ControlId;

 private:
  void LineNotify(rtl::TObject* Data);
  void RequireAccess();
  // Reads all entries, lets `edit` change them (may be null), writes them back when editing.
  struct Access {
    uint32_t channels, items;
    size_t index;
  };
  Access Prepare(TMMChannel Channel, TMMItemIndex Item);

  TMMAudioLine* line_ = nullptr;
  TMMControlId controlId_ = -1;
  TMMControlClass controlClass_ = ccCustom;
  audio::TMMObserver lineObserver_;
  TMMControlInfo info_;
  audio::TMMObservable observable_;
};

class TMMMixerControl : public TMMCustomMixerControl {
 public:
  using TMMCustomMixerControl::TMMCustomMixerControl;
  void SetControlType(TMMControlType Value) { SetControlTypeInternal(Value); }
  bool IsControlTypeStored() const {
    return key_ == TMMControlKey::ControlType && controlType_ != ctCustom;
  }
};

class TMMVolumeControl : public TMMCustomMixerControl {
 public:
  explicit TMMVolumeControl(rtl::TComponent* AOwner);
  int32_t GetPanValue() const { return pan_; }
  void SetPanValue(int32_t Value);

  void SetUnsigned(uint32_t Value) override;
  void SetSigned(int32_t Value) override;
  bool AcceptControl(const pm::TMixerControl& Control) override;
  void SetSignedItem(TMMChannel Channel, TMMItemIndex Item, int32_t Value) override;
  void SetUnsignedItem(TMMChannel Channel, TMMItemIndex Item, uint32_t Value) override;

 private:
  double LeftFactor() const;
  double RightFactor() const;
  int32_t pan_ = 0;
};

// Binds a widget to a control: it hears the control's value and id changes, also while locked
// (the lock only tells the widget that the change is its own).
class TMMControlLink : public audio::TMMObserver {
 public:
  TMMControlLink() = default;
  ~TMMControlLink() override;
  TMMCustomMixerControl* GetControl() const { return control_; }
  void SetControl(TMMCustomMixerControl* Value);
  // The control is being destroyed (its list has already let the link go): forget it only.
  void ControlDestroyed();
  void Update(rtl::TObject* Data) override;

  std::function<void(TMMCustomMixerControl*)> OnControlChange;
  std::function<void()> OnControlIdChange;

 private:
  TMMCustomMixerControl* control_ = nullptr;
};

}  // namespace mixer
