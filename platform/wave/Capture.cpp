#include "platform/wave/Capture.h"

#include <algorithm>
#include <cstring>

#include "platform/wave/BufferQueue.h"

namespace platform::wave {

struct TCaptureFanOut::TDevice {
  int id = 0;
  TPace pace = Buffered;
  std::unique_ptr<IWaveStream> stream;
  std::vector<std::vector<uint8_t>> data;
  std::vector<TWaveHdr> hdrs;
  int fault = 0;  // the device's Error came (under the hub's lock)
};

class TCaptureFanOut::TSubscriber : public IWaveStream {
 public:
  TSubscriber(TCaptureFanOut* hub, TWaveCallback cb) : hub_(hub), cb_(std::move(cb)) {}
  ~TSubscriber() override {
    if (!closed_) {
      Reset();
      Close();
    }
  }

  int AddBuffer(TWaveHdr* hdr) override {
    if (!hdr || !(hdr->dwFlags & WHDR_PREPARED)) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    if (closed_) return MMSYSERR_INVALHANDLE;
    queue_.Add(hdr);
    return 0;
  }
  int Start() override {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    running_ = !closed_;
    return closed_ ? MMSYSERR_INVALHANDLE : 0;
  }
  int Stop() override {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    running_ = false;
    std::vector<TWaveHdr*> done;
    queue_.TakePartial(done);
    Deliver(done);
    return 0;
  }
  int Pause() override { return Stop(); }
  int Restart() override { return Start(); }
  int Reset() override {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    running_ = false;
    std::vector<TWaveHdr*> done;
    queue_.TakeAll(done);
    position_ = 0;
    Deliver(done);
    return 0;
  }
  int GetPosition(int64_t& frames) override {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    frames = position_;
    return 0;
  }
  int Close() override {
    {
      std::lock_guard<std::recursive_mutex> lock(Mutex());
      if (closed_) return MMSYSERR_INVALHANDLE;
      // A recorder that closes without a reset first gets its buffers back all the same.
      std::vector<TWaveHdr*> done;
      queue_.TakeAll(done);
      Deliver(done);
      running_ = false;
      closed_ = true;
    }
    if (hub_) hub_->Leave(this);
    cb_(TWaveMsg::Close, nullptr);
    return 0;
  }
  int Fault() const override { return fault_.load(); }

  // The hub's lock held: one capture period of the line.
  void Take(const uint8_t* src, size_t n) {
    if (!running_ || closed_ || fault_) return;
    std::vector<TWaveHdr*> done;
    while (n > 0 && !queue_.Empty()) {
      TWaveHdr* h = queue_.Head();
      const size_t room = h->dwBufferLength - queue_.HeadPos();
      const size_t take = std::min(n, room) / 2 * 2;
      if (take == 0) {  // a buffer of an odd length: hand it back as it is
        queue_.Advance(0, queue_.HeadPos(), done);
        continue;
      }
      std::memcpy(h->lpData + queue_.HeadPos(), src, take);
      queue_.Advance(take, h->dwBufferLength, done);
      position_ += static_cast<int64_t>(take / 2);
      src += take;
      n -= take;
    }
    // What finds no buffer is lost, as a device's overrun loses it.
    Deliver(done);
  }
  // The hub's lock held: the device failed.
  void Fail(int code) {
    if (closed_ || fault_) return;
    fault_ = code;
    running_ = false;
    cb_(TWaveMsg::Error, nullptr);
  }
  void Orphan() { hub_ = nullptr; }
  int DeviceId = 0;

 private:
  std::recursive_mutex& Mutex() { return hub_ ? hub_->mu_ : own_; }
  void Deliver(const std::vector<TWaveHdr*>& done) {
    for (TWaveHdr* h : done) {
      TBufferQueue::MarkDone(h);
      cb_(TWaveMsg::Done, h);
    }
  }

  TCaptureFanOut* hub_;
  std::recursive_mutex own_;  // once the hub has gone
  TWaveCallback cb_;
  TBufferQueue queue_{TWaveDir::In};
  bool running_ = false, closed_ = false;
  std::atomic<int> fault_{0};
  int64_t position_ = 0;
};

TCaptureFanOut::TCaptureFanOut(IWaveBackend* backend) : backend_(backend) {}

TCaptureFanOut::~TCaptureFanOut() {
  std::unique_ptr<TDevice> d;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    for (TSubscriber* s : subs_) s->Orphan();
    subs_.clear();
    d = std::move(device_);
  }
  CloseDevice(std::move(d));
}

TWaveFormatEx TCaptureFanOut::Format() {
  return MonoPcm16(kRate);
}

bool TCaptureFanOut::Shared(TWaveDir dir, const TWaveFormatEx& fmt) const {
  return dir == TWaveDir::In && fmt.wFormatTag == WAVE_FORMAT_PCM && fmt.nChannels == 1 &&
         fmt.wBitsPerSample == 16 && fmt.nSamplesPerSec == kRate && fmt.nBlockAlign == 2;
}

int TCaptureFanOut::Open(TWaveDir dir, int id, const TWaveFormatEx& fmt, bool query,
                         TWaveCallback cb, std::unique_ptr<IWaveStream>& out) {
  if (query || !Shared(dir, fmt)) return Backend().Open(dir, id, fmt, query, std::move(cb), out);
  return Subscribe(id, Buffered, std::move(cb), out);
}

int TCaptureFanOut::OpenLowLatency(TWaveDir dir, int id, const TWaveFormatEx& fmt, TWaveCallback cb,
                                   std::unique_ptr<IWaveStream>& out) {
  if (!Shared(dir, fmt)) return Backend().OpenLowLatency(dir, id, fmt, std::move(cb), out);
  return Subscribe(id, Low, std::move(cb), out);
}

int TCaptureFanOut::OpenLive(TWaveDir dir, int id, const TWaveFormatEx& fmt, TWaveCallback cb,
                             std::unique_ptr<IWaveStream>& out) {
  if (!Shared(dir, fmt)) return Backend().OpenLive(dir, id, fmt, std::move(cb), out);
  return Subscribe(id, Live, std::move(cb), out);
}

int TCaptureFanOut::Subscribe(int id, TPace pace, TWaveCallback cb,
                              std::unique_ptr<IWaveStream>& out) {
  // The device is opened, started and closed outside the lock: its callbacks take the lock, and
  // a backend may call them while holding its own.
  std::unique_ptr<TDevice> old;
  TPace was = pace;
  bool open = false;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    // Another device than the one open is a capture of its own.
    if (device_ && device_->id != id)
      return Backend().Open(TWaveDir::In, id, Format(), false, std::move(cb), out);
    // A device that failed stays with the subscribers that heard its Error until they close; a
    // new listener gets a fresh one. A device slower than this listener opens again at its pace.
    if (device_ && (device_->fault || device_->pace < pace)) {
      was = device_->pace;
      old = std::move(device_);
    }
    open = !device_;
  }
  const bool failed = old && old->fault;
  CloseDevice(std::move(old));
  std::unique_ptr<TDevice> fresh;
  if (open) {
    int rc = OpenDevice(id, pace, fresh);
    // The listeners of a device that was only too slow keep theirs, if not at this pace.
    if (rc != 0 && !failed && was < pace) rc = OpenDevice(id, was, fresh) == 0 ? 0 : rc;
    if (rc != 0) {
      // Those listeners lost their device: they hear of it as of a failure.
      std::lock_guard<std::recursive_mutex> lock(mu_);
      for (TSubscriber* s : std::vector<TSubscriber*>(subs_)) s->Fail(rc);
      return rc;
    }
  }
  TDevice* start = nullptr;
  auto s = std::make_unique<TSubscriber>(this, cb);
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (fresh) {
      device_ = std::move(fresh);
      start = device_.get();
    }
    s->DeviceId = id;
    subs_.push_back(s.get());
  }
  if (start) start->stream->Start();
  out = std::move(s);
  cb(TWaveMsg::Open, nullptr);
  return 0;
}

int TCaptureFanOut::OpenDevice(int id, TPace pace, std::unique_ptr<TDevice>& out) {
  auto d = std::make_unique<TDevice>();
  d->id = id;
  d->pace = pace;
  TDevice* raw = d.get();
  auto cb = [this, raw](TWaveMsg m, TWaveHdr* h) { Captured(raw, m, h); };
  const TWaveFormatEx f = Format();
  IWaveBackend& b = Backend();
  const int rc = pace == Low    ? b.OpenLowLatency(TWaveDir::In, id, f, cb, d->stream)
                 : pace == Live ? b.OpenLive(TWaveDir::In, id, f, cb, d->stream)
                                : b.Open(TWaveDir::In, id, f, false, cb, d->stream);
  if (rc != 0) return rc;
  ++opens_;
  d->data.assign(kPeriods, std::vector<uint8_t>(kPeriodFrames * 2));
  d->hdrs.assign(kPeriods, {});
  for (int i = 0; i < kPeriods; ++i) {
    d->hdrs[i].lpData = d->data[i].data();
    d->hdrs[i].dwBufferLength = kPeriodFrames * 2;
    d->hdrs[i].dwFlags = WHDR_PREPARED;
    d->stream->AddBuffer(&d->hdrs[i]);
  }
  out = std::move(d);
  return 0;
}

void TCaptureFanOut::Leave(TSubscriber* s) {
  std::unique_ptr<TDevice> last;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    subs_.erase(std::remove(subs_.begin(), subs_.end(), s), subs_.end());
    if (subs_.empty()) last = std::move(device_);
  }
  CloseDevice(std::move(last));
}

void TCaptureFanOut::Captured(TDevice* d, TWaveMsg msg, TWaveHdr* h) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  // Buffers a device hands back while it is being closed belong to nobody any more.
  if (d != device_.get()) return;
  if (msg == TWaveMsg::Error) {
    d->fault = d->stream->Fault() ? d->stream->Fault() : MMSYSERR_ERROR;
    for (TSubscriber* s : std::vector<TSubscriber*>(subs_)) s->Fail(d->fault);
    return;
  }
  if (msg != TWaveMsg::Done || !h) return;
  const size_t n = std::min(h->dwBytesRecorded, h->dwBufferLength);
  for (TSubscriber* s : std::vector<TSubscriber*>(subs_)) s->Take(h->lpData, n);
  if (d->fault) return;
  h->dwFlags = WHDR_PREPARED;
  d->stream->AddBuffer(h);
}

void TCaptureFanOut::CloseDevice(std::unique_ptr<TDevice> d) {
  if (!d) return;
  d->stream->Reset();
  d->stream->Close();
}

int TCaptureFanOut::Subscribers() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return static_cast<int>(subs_.size());
}

bool TCaptureFanOut::DeviceOpen() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return device_ != nullptr;
}

}  // namespace platform::wave
