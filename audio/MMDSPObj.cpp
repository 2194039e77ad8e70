#include "audio/MMDSPObj.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "rtl/Messages.h"

namespace audio {

namespace {
// Components are created, linked and destroyed on the main thread, so this list needs no lock.
std::vector<TMMDSPComponent*>& DSPComponentList() {
  static std::vector<TMMDSPComponent*> list;
  return list;
}

// Threads register from their own body while the main thread may be creating others, so this one
// is locked.
std::mutex& DSPThreadMutex() {
  static std::mutex m;
  return m;
}
std::vector<std::pair<TMMDSPThread*, std::thread::id>>& DSPThreadList() {
  static std::vector<std::pair<TMMDSPThread*, std::thread::id>> list;
  return list;
}

constexpr size_t kMaxPropName = 20;
}  // namespace

int WaveFormatSize(const TWaveFormatEx* f) {
  if (!f) return 0;
  if (f->wFormatTag == WAVE_FORMAT_PCM) return sizeof(TWaveFormatEx);
  return static_cast<int>(sizeof(TWaveFormatEx)) + f->cbSize;
}

TWaveFormatPtr CopyWaveFormat(const TWaveFormatEx* f) {
  const int size = WaveFormatSize(f);
  if (size <= 0) return nullptr;
  void* mem = ::operator new(static_cast<size_t>(size));  // throws std::bad_alloc when exhausted
  std::memset(mem, 0, static_cast<size_t>(size));
  std::memcpy(mem, f, static_cast<size_t>(size));
  auto* copy = static_cast<TWaveFormatEx*>(mem);
  if (copy->wFormatTag == WAVE_FORMAT_PCM) copy->cbSize = 0;
  return TWaveFormatPtr(copy);
}

bool SameWaveFormat(const TWaveFormatEx* a, const TWaveFormatEx* b) {
  if (!a || !b) return a == b;
  const int sa = WaveFormatSize(a);
  if (sa != WaveFormatSize(b)) return false;
  if (a->wFormatTag == WAVE_FORMAT_PCM)  // cbSize of a PCM record carries no meaning
    return std::memcmp(a, b, sizeof(TWaveFormatEx) - 2) == 0;
  return std::memcmp(a, b, static_cast<size_t>(sa)) == 0;
}

TWaveFormatEx MakePCMFormat(uint32_t rate, uint16_t bits, uint16_t channels) {
  TWaveFormatEx f;
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = bits;
  f.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
  f.nAvgBytesPerSec = f.nBlockAlign * rate;
  f.cbSize = 0;
  return f;
}

bool IsValidPCM(const TWaveFormatEx* f) {
  return f && f->wFormatTag == WAVE_FORMAT_PCM &&
         (f->wBitsPerSample == 8 || f->wBitsPerSample == 16) &&
         (f->nChannels == 1 || f->nChannels == 2) && f->nSamplesPerSec >= 4000 &&
         f->nSamplesPerSec <= 100000;
}

// ---------------------------------------------------------------------------------------------

TMMDSPComponent::TMMDSPComponent(rtl::TComponent* AOwner) : TMMCustomDSPComponent(AOwner) {
  DSPComponentList().push_back(this);
}

TMMDSPComponent::~TMMDSPComponent() {
  Destroying();
  SetInput(nullptr);
  SetOutput(nullptr);
  PWaveFormat_.reset();
  auto& list = DSPComponentList();
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

int TMMDSPComponent::DSPComponentCount() {
  return static_cast<int>(DSPComponentList().size());
}

bool TMMDSPComponent::Quiet() const {
  const auto& s = ComponentState();
  return s.Contains(rtl::TComponentStateFlag::csLoading) ||
         s.Contains(rtl::TComponentStateFlag::csReading) ||
         s.Contains(rtl::TComponentStateFlag::csDestroying);
}

TMMDSPComponent* TMMDSPComponent::PublishedLink(const std::string& name) const {
  if (name == "Input" && PublishesInput_) return Input_;
  if (name == "Output" && PublishesOutput_) return Output_;
  return nullptr;
}

void TMMDSPComponent::UpdateFormat() {
  if (Quiet()) return;
  if (Input_)
    ChangePWaveFormat(Input_->GetPWaveFormat());
  else if (Output_)
    Output_->ChangePWaveFormat(GetPWaveFormat());
}

void TMMDSPComponent::LinkChanging(TMMDSPComponent* Sender, bool IsOutputSide,
                                   const std::string& PropName) {
  if (!Sender) return;
  if (IsOutputSide) {
    if (Sender == Input_ && InputPropName_ == PropName && Sender->PublishedLink(PropName) == this)
      SetInputLink(nullptr, "");
  } else {
    if (Sender == Output_ && OutputPropName_ == PropName && Sender->PublishedLink(PropName) == this)
      SetOutputLink(nullptr, "");
  }
}

void TMMDSPComponent::SetInput(TMMDSPComponent* Value) {
  if (Value == Input_ || (Value && !CanConnectInput(Value))) return;
  Stopped();
  if (Input_) {
    // Copy the list: a receiver may not add or remove components, but be safe against it.
    const std::vector<TMMDSPComponent*> all = DSPComponentList();
    for (TMMDSPComponent* c : all) c->LinkChanging(this, false, "Input");
    // A neighbour linked through AcceptsOutput publishes no property the broadcast could check;
    // its side is dropped here so that it never keeps a pointer to us.
    TMMDSPComponent* old = Input_;
    if (old->Output_ == this) old->SetOutputLink(nullptr, "");
    SetInputLink(nullptr, "");
    ChangePWaveFormat(nullptr);
  }
  if (Value) {
    const std::vector<TMMDSPComponent*> all = DSPComponentList();
    for (TMMDSPComponent* c : all) c->LinkChanging(Value, true, "Output");
    SetInputLink(Value, "Output");
    Value->SetOutputLink(this, "Input");
    UpdateFormat();
  }
}

void TMMDSPComponent::SetOutput(TMMDSPComponent* Value) {
  if (Value == Output_ || (Value && !CanConnectOutput(Value))) return;
  Stopped();
  if (Output_) {
    const std::vector<TMMDSPComponent*> all = DSPComponentList();
    for (TMMDSPComponent* c : all) c->LinkChanging(this, true, "Output");
    // The old neighbour may have dropped its side already through the broadcast; it still hears
    // that no format comes from here any more.
    TMMDSPComponent* old = Output_;
    old->ChangePWaveFormat(nullptr);
    if (old->Input_ == this) old->SetInputLink(nullptr, "");
    SetOutputLink(nullptr, "");
  }
  if (Value) {
    const std::vector<TMMDSPComponent*> all = DSPComponentList();
    for (TMMDSPComponent* c : all) c->LinkChanging(Value, false, "Input");
    SetOutputLink(Value, "Input");
    Value->SetInputLink(this, "Output");
    UpdateFormat();
  }
}

void TMMDSPComponent::SetInputLink(TMMDSPComponent* C, const std::string& PropName) {
  if (Input_ && Input_ != C && Input_ != Output_) RemoveFreeNotification(Input_);
  Input_ = C;
  InputPropName_ = PropName.substr(0, kMaxPropName);
  if (C) FreeNotification(C);
}

void TMMDSPComponent::SetOutputLink(TMMDSPComponent* C, const std::string& PropName) {
  if (Output_ && Output_ != C && Output_ != Input_) RemoveFreeNotification(Output_);
  Output_ = C;
  OutputPropName_ = PropName.substr(0, kMaxPropName);
  if (C) FreeNotification(C);
}

bool TMMDSPComponent::CanConnectInput(TMMDSPComponent* C) {
  if (!C || C == this) return false;
  if (!C->PublishesOutput() && !C->AcceptsOutput) return false;
  // Walking down refuses anything that already lies downstream, so no cycle can form.
  return Output_ ? Output_->CanConnectInput(C) : true;
}

bool TMMDSPComponent::CanConnectOutput(TMMDSPComponent* C) {
  if (!C || C == this) return false;
  if (!C->PublishesInput() && !C->AcceptsInput) return false;
  return Input_ ? Input_->CanConnectOutput(C) : true;
}

void TMMDSPComponent::ChangePWaveFormat(PWaveFormatEx Format) {
  SetPWaveFormat(Format);
}

void TMMDSPComponent::SetPWaveFormat(PWaveFormatEx Format) {
  if (Format != PWaveFormat_.get()) {
    if (IsStarted_) Stopped();
    // Copy before releasing: `Format` may point into the held copy's neighbourhood only by
    // identity, which was excluded above.
    TWaveFormatPtr fresh = CopyWaveFormat(Format);
    PWaveFormat_ = std::move(fresh);
  }
  if (!Quiet() && Output_) Output_->ChangePWaveFormat(GetPWaveFormat());
}

int32_t TMMDSPComponent::GetBufferSize() const {
  return IsOpen_ ? static_cast<int32_t>(RealBufferSize_) : BufferSize_;
}

void TMMDSPComponent::SetBufferSize(int32_t Value) {
  if (Value == BufferSize_) return;
  if (IsStarted_) Stopped();
  BufferSize_ = Value;
}

void TMMDSPComponent::Loaded() {
  TMMCustomDSPComponent::Loaded();
  SetPWaveFormat(GetPWaveFormat());
}

void TMMDSPComponent::Opened() {
  if (!IsOpen_) {
    const TWaveFormatEx* f = GetPWaveFormat();
    if (f && f->nBlockAlign > 0) {
      const int32_t align = f->nBlockAlign;
      RealBufferSize_ = static_cast<uint32_t>(std::max(BufferSize_ - BufferSize_ % align, align));
    } else {
      RealBufferSize_ = static_cast<uint32_t>(std::max<int32_t>(BufferSize_, 0));
    }
    IsOpen_ = true;
  }
}

void TMMDSPComponent::Closed() {
  IsOpen_ = false;
}
void TMMDSPComponent::Started() {
  if (IsOpen_ && !IsStarted_) IsStarted_ = true;
}
void TMMDSPComponent::Stopped() {
  IsStarted_ = false;
}
void TMMDSPComponent::Paused() {}
void TMMDSPComponent::Restarted() {}
void TMMDSPComponent::Reset() {}

void TMMDSPComponent::BufferReady(PWaveHdr lpWaveHdr) {
  if (OnBufferReady) OnBufferReady(this, lpWaveHdr);
  if (Output_) Output_->BufferReady(lpWaveHdr);
}

void TMMDSPComponent::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
  if (OnBufferLoad) OnBufferLoad(this, lpWaveHdr, MoreBuffers);
  if (Input_) Input_->BufferLoad(lpWaveHdr, MoreBuffers);
}

void TMMDSPComponent::Notification(rtl::TComponent* AComponent, rtl::TOperation Operation) {
  TMMCustomDSPComponent::Notification(AComponent, Operation);
  if (Operation != rtl::TOperation::opRemove || !AComponent) return;
  // The neighbour is half destroyed: only our own side is cleared, nothing is called on it.
  if (AComponent == Input_) {
    Stopped();
    SetInputLink(nullptr, "");
    ChangePWaveFormat(nullptr);
  }
  if (AComponent == Output_) {
    Stopped();
    SetOutputLink(nullptr, "");
  }
}

// ---------------------------------------------------------------------------------------------

TMMDSPThread::TMMDSPThread(TMMCustomSoundComponent* AOwner) : owner_(AOwner) {
  std::lock_guard<std::mutex> lock(DSPThreadMutex());
  DSPThreadList().emplace_back(this, std::thread::id());
}

TMMDSPThread::~TMMDSPThread() {
  std::lock_guard<std::mutex> lock(DSPThreadMutex());
  auto& list = DSPThreadList();
  list.erase(std::remove_if(list.begin(), list.end(), [this](auto& e) { return e.first == this; }),
             list.end());
}

void TMMDSPThread::RegisterCurrent() {
  std::lock_guard<std::mutex> lock(DSPThreadMutex());
  for (auto& e : DSPThreadList())
    if (e.first == this) e.second = std::this_thread::get_id();
}

bool IsDSPThread() {
  if (rtl::IsMainThread()) return false;
  std::lock_guard<std::mutex> lock(DSPThreadMutex());
  const auto id = std::this_thread::get_id();
  for (auto& e : DSPThreadList())
    if (e.second == id) return true;
  return false;
}

void SynchronizeIfDSPThread(const std::function<void()>& fn) {
  if (IsDSPThread())
    rtl::TThread::Synchronize(fn);
  else
    fn();
}

// ---------------------------------------------------------------------------------------------

namespace {
bool IsSound(TMMDSPComponent* c) {
  return dynamic_cast<TMMCustomSoundComponent*>(c) != nullptr;
}
}  // namespace

TMMDSPComponent* TMMCustomSoundComponent::SegmentStart(bool markUpstream) {
  TMMDSPComponent* start = this;
  for (TMMDSPComponent* c = GetInput(); c; c = c->GetInput()) {
    if (c == this) break;  // cannot happen with cycle refusal; never loop forever
    if (IsSound(c)) {
      if (markUpstream) HasUpstreamDevice_ = true;
      return this;
    }
    start = c;
  }
  return start;
}

void TMMCustomSoundComponent::WalkDown(TMMDSPComponent* start, bool includeNextDevice,
                                       const std::function<void(TMMDSPComponent*)>& op) {
  for (TMMDSPComponent* c = start; c; c = c->GetOutput()) {
    if (c == this) continue;
    if (IsSound(c)) {
      if (includeNextDevice) op(c);
      return;
    }
    op(c);
  }
}

void TMMCustomSoundComponent::Opened() {
  HasUpstreamDevice_ = false;
  TMMDSPComponent* start = SegmentStart(true);
  const int32_t size = GetBufferSize();
  WalkDown(start, true, [size](TMMDSPComponent* c) {
    c->SetBufferSize(size);
    c->Opened();
  });
  TMMDSPComponent::Opened();
}

void TMMCustomSoundComponent::Started() {
  WalkDown(SegmentStart(false), true, [](TMMDSPComponent* c) { c->Started(); });
  TMMDSPComponent::Started();
}
void TMMCustomSoundComponent::Paused() {
  WalkDown(SegmentStart(false), true, [](TMMDSPComponent* c) { c->Paused(); });
  TMMDSPComponent::Paused();
}
void TMMCustomSoundComponent::Restarted() {
  WalkDown(SegmentStart(false), true, [](TMMDSPComponent* c) { c->Restarted(); });
  TMMDSPComponent::Restarted();
}
void TMMCustomSoundComponent::Reset() {
  WalkDown(SegmentStart(false), true, [](TMMDSPComponent* c) { c->Reset(); });
  TMMDSPComponent::Reset();
}

void TMMCustomSoundComponent::Closed() {
  for (TMMDSPComponent* c = GetOutput(); c; c = c->GetOutput())
    if (IsSound(c)) {
      c->Closed();
      break;
    }
  WalkDown(SegmentStart(false), false, [](TMMDSPComponent* c) { c->Closed(); });
  TMMDSPComponent::Closed();
}

void TMMCustomSoundComponent::Stopped() {
  for (TMMDSPComponent* c = GetOutput(); c; c = c->GetOutput())
    if (IsSound(c)) {
      c->Stopped();
      break;
    }
  WalkDown(SegmentStart(false), false, [](TMMDSPComponent* c) { c->Stopped(); });
  TMMDSPComponent::Stopped();
}

}  // namespace audio
