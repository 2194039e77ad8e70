#include "platform/wave/VirtualCard.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/wave/BufferQueue.h"
#include "rtl/Thread.h"

namespace platform::wave {

void TSilenceSource::Read(uint8_t* dst, size_t bytes, const TWaveFormatEx& fmt) {
  std::memset(dst, fmt.wBitsPerSample == 8 ? 0x80 : 0, bytes);
}

void TToneSource::Read(uint8_t* dst, size_t bytes, const TWaveFormatEx& fmt) {
  const size_t align = std::max<size_t>(fmt.nBlockAlign, 1);
  const size_t frames = bytes / align;
  const double w = 2.0 * M_PI * freq_ / std::max<uint32_t>(fmt.nSamplesPerSec, 1);
  for (size_t i = 0; i < frames; ++i, ++frame_) {
    const double v = amp_ * std::sin(w * static_cast<double>(frame_));
    for (unsigned ch = 0; ch < fmt.nChannels; ++ch) {
      if (fmt.wBitsPerSample == 8) {
        *dst++ = static_cast<uint8_t>(std::lround(128.0 + 127.0 * v));
      } else {
        const auto s = static_cast<int16_t>(std::lround(32767.0 * v));
        *dst++ = static_cast<uint8_t>(s & 0xFF);
        *dst++ = static_cast<uint8_t>((s >> 8) & 0xFF);
      }
    }
  }
  TSilenceSource().Read(dst, bytes - frames * align, fmt);
}

void TBytesSource::Read(uint8_t* dst, size_t bytes, const TWaveFormatEx& fmt) {
  size_t done = 0;
  while (done < bytes) {
    if (pos_ >= data_.size()) {
      if (!loop_ || data_.empty()) break;
      pos_ = 0;
    }
    const size_t n = std::min(bytes - done, data_.size() - pos_);
    std::memcpy(dst + done, data_.data() + pos_, n);
    pos_ += n;
    done += n;
  }
  if (done < bytes) TSilenceSource().Read(dst + done, bytes - done, fmt);
}

std::unique_ptr<TBytesSource> MakeWaveFileSource(const std::string& path, TWaveFormatEx* fmtOut,
                                                 bool loop) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto u32 = [&](size_t at) {
    return static_cast<uint32_t>(file[at] | (file[at + 1] << 8) | (file[at + 2] << 16) |
                                 (static_cast<uint32_t>(file[at + 3]) << 24));
  };
  if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 ||
      std::memcmp(file.data() + 8, "WAVE", 4) != 0)
    throw std::runtime_error("not a WAVE file: " + path);
  TWaveFormatEx fmt;
  bool haveFmt = false;
  size_t at = 12;
  while (at + 8 <= file.size()) {
    const uint32_t size = u32(at + 4);
    const size_t body = at + 8;
    const size_t avail = std::min<size_t>(size, file.size() - body);
    if (std::memcmp(file.data() + at, "fmt ", 4) == 0 && avail >= 16) {
      std::memcpy(&fmt, file.data() + body, std::min<size_t>(avail, sizeof fmt));
      haveFmt = true;
    } else if (std::memcmp(file.data() + at, "data", 4) == 0) {
      if (!haveFmt || fmt.wFormatTag != WAVE_FORMAT_PCM)
        throw std::runtime_error("not a PCM WAVE file: " + path);
      if (fmtOut) *fmtOut = fmt;
      return std::make_unique<TBytesSource>(
          std::vector<uint8_t>(file.begin() + static_cast<long>(body),
                               file.begin() + static_cast<long>(body + avail)),
          loop);
    }
    at = body + avail + (avail & 1);
  }
  throw std::runtime_error("no data in WAVE file: " + path);
}

void TMemorySink::Write(const uint8_t* data, size_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  data_.insert(data_.end(), data, data + n);
}
std::vector<uint8_t> TMemorySink::Bytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return data_;
}
size_t TMemorySink::Size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return data_.size();
}
void TMemorySink::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  data_.clear();
}

// ---------------------------------------------------------------------------------------------

class TVirtualStream : public IWaveStream {
 public:
  TVirtualStream(TVirtualSoundCard* card, TWaveDir dir, int id, const TWaveFormatEx& fmt,
                 TWaveCallback cb)
      : card_(card),
        dir_(dir),
        id_(id),
        fmt_(fmt),
        cb_(std::move(cb)),
        running_(dir == TWaveDir::Out) {}

  int AddBuffer(TWaveHdr* hdr) override {
    if (!hdr || !(hdr->dwFlags & WHDR_PREPARED)) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return MMSYSERR_INVALHANDLE;
    queue_.Add(hdr);
    return 0;
  }
  int Start() override { return SetRunning(true); }
  int Restart() override { return SetRunning(true); }
  int Pause() override { return SetRunning(false); }
  int Stop() override {
    std::vector<TWaveHdr*> done;
    {
      std::lock_guard<std::mutex> lock(mu_);
      running_ = false;
      DropRing(done);
      queue_.TakePartial(done);
      if (dir_ == TWaveDir::In) card_->LeaveLine(this);
    }
    Deliver(done);
    return 0;
  }
  int Reset() override {
    std::vector<TWaveHdr*> done;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (dir_ == TWaveDir::In) {
        running_ = false;
        card_->LeaveLine(this);
      }
      DropRing(done);
      queue_.TakeAll(done);
      position_ = 0;
    }
    Deliver(done);
    return 0;
  }
  int GetPosition(int64_t& frames) override {
    std::lock_guard<std::mutex> lock(mu_);
    frames = position_;
    return 0;
  }
  int Close() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (closed_) return MMSYSERR_INVALHANDLE;
      // As drivers do: reset first.
      if (!queue_.Empty() || !inFlight_.empty()) return WAVERR_STILLPLAYING;
      closed_ = true;
    }
    card_->Detach(this);
    cb_(TWaveMsg::Close, nullptr);
    return 0;
  }
  int Fault() const override { return fault_.load(); }

  // The device fails with `code` at its next move, on the thread that moves the sound.
  void Fail(int code) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!fault_ && !failPending_) failPending_ = code;
  }
  TWaveDir Dir() const { return dir_; }
  int Id() const { return id_; }

  // Moves up to `frames` frames through the device.
  void Move(int64_t frames, std::shared_ptr<ISignalSource> src, TMemorySink& sink,
            const std::shared_ptr<ISignalTap>& tap, size_t latencyFrames, size_t startDelay,
            bool fillGaps, std::atomic<int64_t>& underruns) {
    std::vector<TWaveHdr*> done;
    bool failedNow = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (failPending_) {
        fault_ = failPending_;
        failPending_ = 0;
        failedNow = true;
      }
      if (!running_ || closed_ || fault_) {
        if (!failedNow) return;
      } else if (dir_ == TWaveDir::In) {
        MoveIn(frames, src, done);
      } else {
        MoveOut(frames, sink, tap, latencyFrames, startDelay, fillGaps, underruns, done);
      }
    }
    Deliver(done);
    if (failedNow) cb_(TWaveMsg::Error, nullptr);
  }

  uint32_t Rate() const { return fmt_.nSamplesPerSec; }
  double carry = 0;  // real-time pacing: fraction of a frame owed

 private:
  size_t Align() const { return std::max<size_t>(fmt_.nBlockAlign, 1); }

  void MoveIn(int64_t frames, const std::shared_ptr<ISignalSource>& src,
              std::vector<TWaveHdr*>& done) {
    const size_t align = Align();
    size_t want = static_cast<size_t>(frames) * align;
    while (want > 0 && !queue_.Empty()) {
      TWaveHdr* h = queue_.Head();
      const size_t pos = queue_.HeadPos();
      const size_t cap = h->dwBufferLength / align * align;
      const size_t n = std::min(want, cap - std::min<size_t>(pos, cap));
      if (n > 0) card_->ReadLine(this, fmt_, src, h->lpData + pos, n);
      want -= n;
      position_ += static_cast<int64_t>(n / align);
      queue_.Advance(n, cap, done);
    }
  }

  // Output plays in two stages like a card's ring: the queue's bytes are written into a ring of
  // `latencyFrames`, and a buffer is done only once the last of its bytes has left the ring for
  // the sink (been heard). Without latency the queue plays straight to the sink.
  void MoveOut(int64_t frames, TMemorySink& sink, const std::shared_ptr<ISignalTap>& tap,
               size_t latencyFrames, size_t startDelay, bool fillGaps,
               std::atomic<int64_t>& underruns, std::vector<TWaveHdr*>& done) {
    const size_t align = Align();
    size_t want = static_cast<size_t>(frames) * align;
    // The stream's late start: time passes, nothing is heard yet.
    if (waited_ < startDelay * align && (written_ > 0 || !queue_.Empty())) {
      const size_t n = std::min(want, startDelay * align - waited_);
      waited_ += n;
      want -= n;
      if (want == 0) {
        const size_t ringCap = latencyFrames * align;
        while (!queue_.Empty() && ring_.size() < ringCap) TakeIntoRing(ringCap);
        return;
      }
    }
    auto play = [&](const uint8_t* p, size_t n) {
      sink.Write(p, n);
      if (tap) tap->Write(p, n, fmt_);
      played_ += n;
      position_ += static_cast<int64_t>(n / align);
      want -= n;
    };
    if (!ring_.empty()) {
      const size_t n = std::min(want, ring_.size());
      std::vector<uint8_t> piece(ring_.begin(), ring_.begin() + static_cast<long>(n));
      ring_.erase(ring_.begin(), ring_.begin() + static_cast<long>(n));
      play(piece.data(), n);
    }
    const size_t ringCap = latencyFrames * align;
    while (!queue_.Empty() && (latencyFrames == 0 ? want > 0 : ring_.size() < ringCap)) {
      if (latencyFrames != 0) {
        TakeIntoRing(ringCap);
        continue;
      }
      TWaveHdr* h = queue_.Head();
      const size_t pos = queue_.HeadPos();
      const size_t cap = h->dwBufferLength;
      const size_t n = std::min(want, cap - std::min<size_t>(pos, cap));
      play(h->lpData + pos, n);
      Written(n, cap);
    }
    while (!inFlight_.empty() && inFlight_.front().end <= played_) {
      done.push_back(inFlight_.front().hdr);
      inFlight_.pop_front();
    }
    // Time passed with nothing to play after something had played: the card ran dry.
    if (want > 0 && written_ > 0 && ring_.empty()) {
      if (!dry_) ++underruns;
      dry_ = true;
      if (fillGaps) {
        std::vector<uint8_t> gap(want);
        TSilenceSource().Read(gap.data(), gap.size(), fmt_);
        sink.Write(gap.data(), gap.size());
        if (tap) tap->Write(gap.data(), gap.size(), fmt_);
      }
    } else if (want == 0) {
      dry_ = false;
    }
  }

  // Moves the head buffer's next piece into the ring, as far as the ring has room.
  void TakeIntoRing(size_t ringCap) {
    TWaveHdr* h = queue_.Head();
    const size_t pos = queue_.HeadPos();
    const size_t cap = h->dwBufferLength;
    const size_t n = std::min(ringCap - ring_.size(), cap - std::min<size_t>(pos, cap));
    ring_.insert(ring_.end(), h->lpData + pos, h->lpData + pos + n);
    Written(n, cap);
  }
  // `n` bytes of the head buffer (of `cap`) have been handed to the ring or the sink.
  void Written(size_t n, size_t cap) {
    written_ += n;
    std::vector<TWaveHdr*> finished;
    queue_.Advance(n, cap, finished);
    for (TWaveHdr* f : finished) inFlight_.push_back({f, written_});
  }

  // What was still waiting in the ring is not heard any more; its buffers come back first.
  void DropRing(std::vector<TWaveHdr*>& done) {
    for (const auto& f : inFlight_) done.push_back(f.hdr);
    inFlight_.clear();
    ring_.clear();
    played_ = written_ = waited_ = 0;
    dry_ = false;
  }
  int SetRunning(bool v) {
    std::lock_guard<std::mutex> lock(mu_);
    running_ = v;
    // An input hears the line from the moment it starts; paused, it leaves it.
    if (dir_ == TWaveDir::In) {
      if (v)
        card_->JoinLine(this, fmt_);
      else
        card_->LeaveLine(this);
    }
    return 0;
  }
  void Deliver(const std::vector<TWaveHdr*>& done) {
    for (TWaveHdr* h : done) {
      TBufferQueue::MarkDone(h);
      cb_(TWaveMsg::Done, h);
    }
  }

  struct TInFlight {
    TWaveHdr* hdr;
    size_t end;  // written_ after its last byte
  };

  TVirtualSoundCard* card_;
  TWaveDir dir_;
  int id_;
  TWaveFormatEx fmt_;
  TWaveCallback cb_;
  std::mutex mu_;
  TBufferQueue queue_{dir_};  // after dir_, which it is made from
  std::deque<uint8_t> ring_;
  std::deque<TInFlight> inFlight_;
  size_t written_ = 0, played_ = 0, waited_ = 0;
  int64_t position_ = 0;
  bool running_;
  bool closed_ = false;
  bool dry_ = false;
  int failPending_ = 0;
  std::atomic<int> fault_{0};
};

TVirtualSoundCard::TVirtualSoundCard(int numIn, int numOut, Pacing pacing)
    : numIn_(numIn), numOut_(numOut), pacing_(pacing) {
  if (pacing_ == Pacing::RealTime) thread_ = std::thread([this] { RealTimeLoop(); });
  if (pacing_ == Pacing::Timer) {
    auto t = platform::MMTimerPtr();
    timerId_ = t->SetEvent(
        10, 1,
        [this](uint32_t) {
          std::lock_guard<std::mutex> lock(mu_);
          MoveDue(0.010);
        },
        true);
    timer_ = t;
  }
}

TVirtualSoundCard::~TVirtualSoundCard() {
  if (timerId_ != 0) timer_->KillEvent(timerId_);
  {
    std::lock_guard<std::mutex> lock(stopMu_);
    stop_ = true;
  }
  stopCv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

int TVirtualSoundCard::NumDevs(TWaveDir dir) {
  return dir == TWaveDir::In ? numIn_ : numOut_;
}

int TVirtualSoundCard::GetDevCaps(TWaveDir dir, int id, TWaveCaps& caps) {
  if (id < -1 || id >= NumDevs(dir) || NumDevs(dir) == 0) return MMSYSERR_BADDEVICEID;
  caps = TWaveCaps();
  caps.wMid = 0xFFFF;
  caps.wPid = static_cast<uint16_t>(id + 1);
  caps.vDriverVersion = 0x0100;
  caps.szPname = dir == TWaveDir::In ? "Virtual Sound Card In" : "Virtual Sound Card Out";
  caps.dwFormats = Formats;
  caps.wChannels = 2;
  return 0;
}

int TVirtualSoundCard::Open(TWaveDir dir, int id, const TWaveFormatEx& fmt, bool query,
                            TWaveCallback cb, std::unique_ptr<IWaveStream>& out) {
  if (id < -1 || id >= NumDevs(dir) || NumDevs(dir) == 0) return MMSYSERR_BADDEVICEID;
  if (fmt.wFormatTag != WAVE_FORMAT_PCM || (fmt.wBitsPerSample != 8 && fmt.wBitsPerSample != 16) ||
      fmt.nChannels < 1 || fmt.nChannels > 2 || fmt.nSamplesPerSec < 1000 ||
      fmt.nSamplesPerSec > 192000 || fmt.nBlockAlign != fmt.nChannels * fmt.wBitsPerSample / 8)
    return WAVERR_BADFORMAT;
  if (query) return 0;
  if (const int fail = FailOpen.load()) return fail;
  auto s = std::make_unique<TVirtualStream>(this, dir, id < 0 ? 0 : id, fmt, cb);
  {
    std::lock_guard<std::mutex> lock(mu_);
    // As ALSA answers a second open of a `hw:` capture: EBUSY, "already in use".
    if (dir == TWaveDir::In && ExclusiveCapture.load() &&
        std::any_of(streams_.begin(), streams_.end(), [&](TVirtualStream* o) {
          return o->Dir() == TWaveDir::In && o->Id() == s->Id();
        }))
      return MMSYSERR_ALLOCATED;
    streams_.push_back(s.get());
  }
  {
    // The driver thread sleeps while no stream is open; this one needs it.
    std::lock_guard<std::mutex> lock(stopMu_);
    stopCv_.notify_all();
  }
  out = std::move(s);
  cb(TWaveMsg::Open, nullptr);
  return 0;
}

std::string TVirtualSoundCard::GetErrorText(int code) {
  return StandardErrorText(code);
}

void TVirtualSoundCard::SetSource(std::shared_ptr<ISignalSource> src) {
  std::lock_guard<std::mutex> lock(mu_);
  source_ = std::move(src);
}

void TVirtualSoundCard::SetOutputTap(std::shared_ptr<ISignalTap> tap) {
  std::lock_guard<std::mutex> lock(mu_);
  tap_ = std::move(tap);
}

std::shared_ptr<ISignalSource> TVirtualSoundCard::Source() const {
  std::lock_guard<std::mutex> lock(mu_);
  return source_;
}

void TVirtualSoundCard::Detach(TVirtualStream* s) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    streams_.erase(std::remove(streams_.begin(), streams_.end(), s), streams_.end());
  }
  LeaveLine(s);
}

TVirtualSoundCard::TLineTape& TVirtualSoundCard::TapeLocked(const TWaveFormatEx& fmt) {
  auto tape = std::find_if(tapes_.begin(), tapes_.end(), [&](const TLineTape& t) {
    return t.rate == fmt.nSamplesPerSec && t.bits == fmt.wBitsPerSample &&
           t.channels == fmt.nChannels;
  });
  if (tape == tapes_.end()) {
    tapes_.push_back({fmt.nSamplesPerSec, fmt.wBitsPerSample, fmt.nChannels, {}, 0, {}});
    tape = std::prev(tapes_.end());
  }
  return *tape;
}

void TVirtualSoundCard::JoinLine(TVirtualStream* s, const TWaveFormatEx& fmt) {
  std::lock_guard<std::mutex> lock(lineMu_);
  TLineTape& t = TapeLocked(fmt);
  if (std::none_of(t.readers.begin(), t.readers.end(), [s](const auto& r) { return r.first == s; }))
    t.readers.emplace_back(s, t.start + static_cast<int64_t>(t.bytes.size()));
}

void TVirtualSoundCard::ReadLine(TVirtualStream* s, const TWaveFormatEx& fmt,
                                 const std::shared_ptr<ISignalSource>& src, uint8_t* dst,
                                 size_t n) {
  std::lock_guard<std::mutex> lock(lineMu_);
  TLineTape& t = TapeLocked(fmt);
  const auto liveEnd = [&t] { return t.start + static_cast<int64_t>(t.bytes.size()); };
  auto me =
      std::find_if(t.readers.begin(), t.readers.end(), [s](const auto& r) { return r.first == s; });
  if (me == t.readers.end()) {
    t.readers.emplace_back(s, liveEnd());  // a new listener hears from now on
    me = std::prev(t.readers.end());
  }
  if (const int64_t more = me->second + static_cast<int64_t>(n) - liveEnd(); more > 0) {
    std::vector<uint8_t> fresh(static_cast<size_t>(more));
    if (src)
      src->Read(fresh.data(), fresh.size(), fmt);
    else
      TSilenceSource().Read(fresh.data(), fresh.size(), fmt);
    t.bytes.insert(t.bytes.end(), fresh.begin(), fresh.end());
  }
  const auto from = t.bytes.begin() + (me->second - t.start);
  std::copy(from, from + static_cast<long>(n), dst);
  me->second += static_cast<int64_t>(n);
  // What every reader has taken is not kept; a reader more than a second behind the foremost
  // one loses the oldest sound (an overrun) rather than holding the line without bound.
  const size_t align = std::max<size_t>(fmt.nBlockAlign, 1);
  const int64_t keep = static_cast<int64_t>(std::max<uint32_t>(fmt.nSamplesPerSec, 1) * align);
  int64_t oldest = liveEnd();
  for (auto& r : t.readers) {
    r.second = std::max(r.second, liveEnd() - keep);
    oldest = std::min(oldest, r.second);
  }
  t.bytes.erase(t.bytes.begin(), t.bytes.begin() + (oldest - t.start));
  t.start = oldest;
}

void TVirtualSoundCard::LeaveLine(TVirtualStream* s) {
  std::lock_guard<std::mutex> lock(lineMu_);
  for (auto& t : tapes_)
    t.readers.erase(std::remove_if(t.readers.begin(), t.readers.end(),
                                   [s](const auto& r) { return r.first == s; }),
                    t.readers.end());
  // A line nobody reads keeps nothing: the next listener hears the source from then on.
  tapes_.erase(std::remove_if(tapes_.begin(), tapes_.end(),
                              [](const TLineTape& t) { return t.readers.empty(); }),
               tapes_.end());
}

int TVirtualSoundCard::OpenStreams() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(streams_.size());
}

void TVirtualSoundCard::AdvanceStream(TVirtualStream* s, int64_t frames) {
  s->Move(frames, source_, sink_, tap_, static_cast<size_t>(std::max(LatencyFrames.load(), 0)),
          static_cast<size_t>(std::max(StartDelayFrames.load(), 0)), FillGaps, underruns_);
}

void TVirtualSoundCard::FailStreams(int code) {
  std::lock_guard<std::mutex> lock(mu_);
  for (TVirtualStream* s : streams_) s->Fail(code);
}

void TVirtualSoundCard::FailStreams(TWaveDir dir, int code) {
  std::lock_guard<std::mutex> lock(mu_);
  for (TVirtualStream* s : streams_)
    if (s->Dir() == dir) s->Fail(code);
}

void TVirtualSoundCard::Advance(int64_t frames) {
  // One period at a time, every stream in turn, like a driver interrupt; the list is re-read for
  // each period because a callback may have closed a stream meanwhile (through a posted stop).
  while (frames > 0) {
    const int64_t step = std::min<int64_t>(frames, std::max(PeriodFrames, 1));
    std::vector<TVirtualStream*> list;
    std::shared_ptr<ISignalSource> src;
    std::shared_ptr<ISignalTap> tap;
    {
      std::lock_guard<std::mutex> lock(mu_);
      list = streams_;
      src = source_;
      tap = tap_;
    }
    for (TVirtualStream* s : list) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (std::find(streams_.begin(), streams_.end(), s) == streams_.end()) continue;
      }
      s->Move(step, src, sink_, tap, static_cast<size_t>(std::max(LatencyFrames.load(), 0)),
              static_cast<size_t>(std::max(StartDelayFrames.load(), 0)), FillGaps, underruns_);
    }
    frames -= step;
  }
}

void TVirtualSoundCard::AdvanceMs(int ms) {
  // Streams may run at different rates; each moves its own share.
  std::vector<TVirtualStream*> list;
  {
    std::lock_guard<std::mutex> lock(mu_);
    list = streams_;
  }
  uint32_t rate = 0;
  for (auto* s : list) rate = std::max(rate, s->Rate());
  if (rate == 0) return;
  Advance(static_cast<int64_t>(rate) * ms / 1000);
}

void TVirtualSoundCard::MoveDue(double seconds) {
  for (TVirtualStream* s : streams_) {
    s->carry += seconds * s->Rate();
    const auto frames = static_cast<int64_t>(s->carry);
    s->carry -= static_cast<double>(frames);
    if (frames > 0) AdvanceStream(s, frames);
  }
}

void TVirtualSoundCard::RealTimeLoop() {
  rtl::SetThreadName("virtual-card");
  using clock = std::chrono::steady_clock;
  auto last = clock::now();
  std::unique_lock<std::mutex> stopLock(stopMu_);
  while (!stop_) {
    bool idle = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      idle = streams_.empty();
    }
    if (idle) {
      // Nothing to move until a stream opens (Open wakes us under stopMu_, so it cannot slip in
      // between the look above and this wait); a card nobody uses costs no wake-ups.
      stopCv_.wait(stopLock);
      last = clock::now();
      continue;
    }
    stopCv_.wait_for(stopLock, std::chrono::milliseconds(5));
    if (stop_) break;
    const auto now = clock::now();
    const double dt = std::chrono::duration<double>(now - last).count();
    last = now;
    // Held across the move so that a stream cannot be closed under the driver's feet.
    std::lock_guard<std::mutex> lock(mu_);
    MoveDue(dt);
  }
}

}  // namespace platform::wave
