#include "platform/wave/Monitor.h"

#include <algorithm>
#include <cstring>

namespace platform::wave {

TWaveMonitor::TWaveMonitor(uint32_t rate, uint32_t frames, int inId, int outId, IWaveBackend* input)
    : fmt_(MonoPcm16(rate)), bytes_(frames * 2), inId_(inId), outId_(outId), input_(input) {}

TWaveMonitor::~TWaveMonitor() {
  Close();
}

int TWaveMonitor::Open() {
  if (IsOpen()) return 0;
  closing_ = false;
  failed_ = false;
  dropouts_ = 0;
  dropped_ = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fifo_.clear();
    primed_ = false;
  }
  auto make = [this](std::vector<std::unique_ptr<TBuffer>>& list, int n) {
    list.clear();
    for (int i = 0; i < n; ++i) {
      auto b = std::make_unique<TBuffer>();
      b->data.assign(bytes_, 0);
      b->hdr.lpData = b->data.data();
      b->hdr.dwBufferLength = bytes_;
      b->hdr.dwFlags = WHDR_PREPARED;
      list.push_back(std::move(b));
    }
  };
  make(inBufs_, 8);
  make(outBufs_, Queued);
  IWaveBackend& backend = WaveBackend();
  auto onIn = [this](TWaveMsg m, TWaveHdr* h) {
    if (m == TWaveMsg::Done) InputDone(h);
    if (m == TWaveMsg::Error) failed_ = true;
  };
  auto onOut = [this](TWaveMsg m, TWaveHdr* h) {
    if (m == TWaveMsg::Done) OutputDone(h);
    if (m == TWaveMsg::Error) failed_ = true;
  };
  std::unique_ptr<IWaveStream> in, out;
  int rc = backend.OpenLowLatency(TWaveDir::Out, outId_, fmt_, onOut, out);
  if (rc == 0)
    rc = (input_ ? *input_ : backend).OpenLowLatency(TWaveDir::In, inId_, fmt_, onIn, in);
  if (rc != 0) {
    if (out) out->Close();
    return rc;
  }
  in_ = std::move(in);
  out_ = std::move(out);
  for (auto& b : inBufs_) in_->AddBuffer(&b->hdr);
  // Playback starts on silence; the recorded sound takes its place from the next buffer on.
  for (auto& b : outBufs_) {
    std::memset(b->data.data(), 0, bytes_);
    out_->AddBuffer(&b->hdr);
  }
  in_->Start();
  return 0;
}

void TWaveMonitor::Close() {
  if (!IsOpen()) return;
  closing_ = true;
  in_->Reset();
  out_->Reset();
  in_->Close();
  out_->Close();
  in_.reset();
  out_.reset();
}

void TWaveMonitor::InputDone(TWaveHdr* h) {
  if (closing_) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fifo_.insert(fifo_.end(), h->lpData, h->lpData + h->dwBytesRecorded);
    // The two devices run on clocks of their own; what the playback side cannot take in time
    // is dropped, oldest first, so the delay never grows.
    const size_t most = static_cast<size_t>(bytes_) * (Slack + 2);
    if (fifo_.size() > most) {
      const size_t drop = (fifo_.size() - most) / 2 * 2;
      fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<long>(drop));
      dropped_ += static_cast<int64_t>(drop / 2);
    }
    // Playback takes from the recording once `Slack` buffers wait, so the two sides' periods
    // need not meet.
    if (fifo_.size() >= static_cast<size_t>(bytes_) * Slack) primed_ = true;
  }
  h->dwFlags = WHDR_PREPARED;
  if (in_) in_->AddBuffer(h);
}

void TWaveMonitor::OutputDone(TWaveHdr* h) {
  if (closing_) return;
  Fill(h);
  h->dwFlags = WHDR_PREPARED;
  if (out_) out_->AddBuffer(h);
}

void TWaveMonitor::Fill(TWaveHdr* h) {
  std::lock_guard<std::mutex> lock(mu_);
  const size_t n = primed_ ? std::min<size_t>(fifo_.size(), h->dwBufferLength) : 0;
  std::copy(fifo_.begin(), fifo_.begin() + static_cast<long>(n), h->lpData);
  fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<long>(n));
  if (n < h->dwBufferLength) {
    std::memset(h->lpData + n, 0, h->dwBufferLength - n);
    if (primed_) ++dropouts_;
  }
}

}  // namespace platform::wave
