#include "audio/MMConvert.h"

#include <algorithm>
#include <cstring>

namespace audio {

TMMCustomConverter::TMMCustomConverter(rtl::TComponent* AOwner) : TMMDSPComponent(AOwner) {
  PublishesInput_ = PublishesOutput_ = true;
}

void TMMCustomConverter::SetEnabled(bool V) {
  if (V == Enabled_) return;
  Enabled_ = V;
  Recompute();
}

void TMMCustomConverter::ChangePWaveFormat(PWaveFormatEx Format) {
  if (Format && Format == InFormat_.get()) return;
  InFormat_ = CopyWaveFormat(Format);
  Recompute();
}

void TMMCustomConverter::Recompute() {
  ConvertNeeded_ = ConvertPossible_ = false;
  if (InFormat_ && Enabled_) {
    TWaveFormatPtr out = ComputeOutputFormat();
    if (out && !SameWaveFormat(out.get(), InFormat_.get())) {
      ConvertNeeded_ = true;
      if (PathExists(out.get())) {
        ConvertPossible_ = true;
        StoreOutput(out.get());
        return;
      }
    } else if (!out && InFormat_->wFormatTag != WAVE_FORMAT_PCM) {
      ConvertNeeded_ = true;
    }
  }
  // Pass-through: the input format flows on unchanged.
  StoreOutput(InFormat_.get());
}

void TMMCustomConverter::Opened() {
  if (Enabled_ && ConvertNeeded_) {
    if (!ConvertPossible_ || !Prepare()) ConvertError();
    Prepared_ = true;
  }
  TMMDSPComponent::Opened();
}

void TMMCustomConverter::Closed() {
  if (Prepared_) Release();
  Prepared_ = false;
  pending_.clear();
  pendingPos_ = 0;
  TMMDSPComponent::Closed();
}

void TMMCustomConverter::Started() {
  TMMDSPComponent::Started();
  pending_.clear();
  pendingPos_ = 0;
  SourceDone_ = false;
  UpstreamMore_ = false;
  ResetState();
}

void TMMCustomConverter::Stopped() {
  pending_.clear();
  pendingPos_ = 0;
  TMMDSPComponent::Stopped();
}

void TMMCustomConverter::Reset() {
  TMMDSPComponent::Reset();
  pending_.clear();
  pendingPos_ = 0;
  SourceDone_ = false;
  ResetState();
}

void TMMCustomConverter::BufferLoad(PWaveHdr h, bool& MoreBuffers) {
  if (!(Prepared_ && IsStarted_ && Enabled_ && ConvertNeeded_ && ConvertPossible_))
    return TMMDSPComponent::BufferLoad(h, MoreBuffers);
  const uint32_t wanted = h->dwBufferLength;
  int retries = 0;
  for (;;) {
    const size_t avail = pending_.size() - pendingPos_;
    const size_t n = std::min<size_t>(avail, wanted - h->dwBytesRecorded);
    if (n > 0) {
      std::memcpy(h->lpData + h->dwBytesRecorded, pending_.data() + pendingPos_, n);
      pendingPos_ += n;
      h->dwBytesRecorded += static_cast<uint32_t>(n);
    }
    if (pendingPos_ == pending_.size()) {
      pending_.clear();
      pendingPos_ = 0;
    }
    if (h->LoopWrapped || !IsStarted_ || h->dwBytesRecorded >= wanted) break;
    size_t got = 0;
    if (!SourceDone_) {
      inBlock_.resize(InputBlockSize());
      private_ = TMMExtWaveHdr();
      private_.lpData = inBlock_.data();
      private_.dwBufferLength = static_cast<uint32_t>(inBlock_.size());
      private_.LoopFlag = h->LoopFlag;
      private_.LoopCount = h->LoopCount;
      private_.LoopsLeft = h->LoopsLeft;
      private_.LoopWrapped = h->LoopWrapped;
      UpstreamMore_ = false;
      TMMDSPComponent::BufferLoad(&private_, UpstreamMore_);
      h->LoopFlag = private_.LoopFlag;
      h->LoopCount = private_.LoopCount;
      h->LoopsLeft = private_.LoopsLeft;
      h->LoopWrapped = private_.LoopWrapped;
      got = std::min<size_t>(private_.dwBytesRecorded, inBlock_.size());
      if (!UpstreamMore_ || got == 0) SourceDone_ = true;
    }
    const size_t before = pending_.size();
    Convert(inBlock_.data(), got, SourceDone_, pending_);
    if (pending_.size() == before) {
      if (SourceDone_) break;
      NothingConverted(retries);
      if (!ConvertPossible_) break;
    }
  }
  MoreBuffers = (!SourceDone_ && UpstreamMore_) || pendingPos_ < pending_.size();
}

}  // namespace audio
