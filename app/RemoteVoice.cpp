#include "app/RemoteVoice.h"

#include <algorithm>
#include <cstring>

#include "platform/MMTimer.h"

namespace app {

namespace wave = platform::wave;

namespace {
// With this much more than the cushion in hand, one sample in kSkipEvery is left out (1.6 %): a
// page whose clock runs fast against the card's comes back without a jump; the hard bound is for
// bursts. Two page frames: a frame that comes just before the card takes its buffer is no skew.
constexpr size_t kSkewMargin = 2 * RemoteVoicePlayer::kCushionStep;
constexpr int kSkipEvery = 64;
}  // namespace

RemoteVoicePlayer::RemoteVoicePlayer(std::function<bool(int)> held) : held_(std::move(held)) {
  timer_.setInterval(10);
  QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
}

RemoteVoicePlayer::~RemoteVoicePlayer() {
  Finish(true);
}

int RemoteVoicePlayer::Start(int session, int device) {
  if (session == session_ && out_) {
    // Pressed again while its last words still play: the hold goes on, nothing is cut.
    done_ = nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    draining_ = false;
    return 0;
  }
  if (session_ != 0) Finish();
  // Another page's link is another link: its cushion starts small again.
  if (session != lastSession_) cushion_ = kPrimeFrames;
  lastSession_ = session;
  underrunsAtStart_ = underruns_.load();
  session_ = session;
  closing_ = false;
  failed_ = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fifo_.clear();
    primed_ = draining_ = false;
    handed_ = 0;
  }
  voiceEnd_ = 0;
  wave::TWaveFormatEx f;
  f.wFormatTag = wave::WAVE_FORMAT_PCM;
  f.nChannels = 1;
  f.nSamplesPerSec = kRate;
  f.nAvgBytesPerSec = kRate * 2;
  f.nBlockAlign = 2;
  f.wBitsPerSample = 16;
  bufs_.clear();
  for (int i = 0; i < kBuffers; ++i) {
    auto b = std::make_unique<Buffer>();
    b->data.assign(kBufferFrames * 2, 0);
    b->hdr.lpData = b->data.data();
    b->hdr.dwBufferLength = kBufferFrames * 2;
    b->hdr.dwFlags = wave::WHDR_PREPARED;
    bufs_.push_back(std::move(b));
  }
  std::unique_ptr<wave::IWaveStream> out;
  // The voice passes straight through, as the software monitor's sound does: the backend keeps
  // as little queued as it safely can.
  const int rc = wave::WaveBackend().OpenLowLatency(
      wave::TWaveDir::Out, device, f,
      [this](wave::TWaveMsg m, wave::TWaveHdr* h) {
        if (m == wave::TWaveMsg::Done) OutputDone(h);
        if (m == wave::TWaveMsg::Error) failed_ = true;
      },
      out);
  if (rc != 0) {
    if (out) out->Close();
    return rc;
  }
  out_ = std::move(out);
  // Silence first: the voice takes its place from the next free buffer on.
  for (auto& b : bufs_) {
    Fill(&b->hdr);
    out_->AddBuffer(&b->hdr);
  }
  timer_.start();
  return 0;
}

void RemoteVoicePlayer::Play(int session, const int16_t* pcm, size_t n) {
  if (session != session_ || done_ || !out_ || failed_) {
    dropped_ += static_cast<int64_t>(n);
    return;
  }
  std::lock_guard<std::mutex> lock(mu_);
  fifo_.insert(fifo_.end(), pcm, pcm + n);
  const size_t cushion = cushion_.load();
  if (fifo_.size() > kMaxLagFrames) {
    const size_t drop = fifo_.size() - cushion;
    fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(drop));
    dropped_ += static_cast<int64_t>(drop);
  }
  if (fifo_.size() >= cushion) primed_ = true;
}

size_t RemoteVoicePlayer::Queued() const {
  std::lock_guard<std::mutex> lock(mu_);
  return fifo_.size();
}

void RemoteVoicePlayer::Fill(wave::TWaveHdr* h) {
  auto* dst = reinterpret_cast<int16_t*>(h->lpData);
  uint32_t n = 0;
  std::lock_guard<std::mutex> lock(mu_);
  if (primed_ || draining_) {
    int since = 0;
    const size_t skew = cushion_.load() + kSkewMargin;
    while (n < kBufferFrames && !fifo_.empty()) {
      if (fifo_.size() > skew && ++since == kSkipEvery) {
        since = 0;
        fifo_.pop_front();
        ++dropped_;
        continue;
      }
      dst[n++] = fifo_.front();
      fifo_.pop_front();
    }
  }
  std::fill(dst + n, dst + kBufferFrames, int16_t{0});
  if (n > 0) voiceEnd_ = handed_ + n;
  if (primed_ && !draining_ && n < kBufferFrames) {
    // Ran dry: wait for a larger cushion rather than play every frame the moment it comes.
    primed_ = false;
    ++underruns_;
    cushion_ = std::min(cushion_.load() + kCushionStep, kMaxCushionFrames);
  }
  handed_ += kBufferFrames;
  played_ += n;
}

void RemoteVoicePlayer::OutputDone(wave::TWaveHdr* h) {
  if (closing_) return;
  Fill(h);
  h->dwFlags = wave::WHDR_PREPARED;
  if (out_) out_->AddBuffer(h);
}

void RemoteVoicePlayer::Release(int session, std::function<void()> done) {
  if (session != session_ || !out_) {
    if (session == session_) Finish(true);
    if (done) done();
    return;
  }
  if (done_) {
    // Told twice: the first deadline stands.
    done_ = done ? std::move(done) : [] {};
    return;
  }
  done_ = done ? std::move(done) : [] {};
  deadlineMs_ = platform::Clock().Milliseconds() + kDrainMs;
  {
    std::lock_guard<std::mutex> lock(mu_);
    draining_ = true;
  }
  Tick();
}

void RemoteVoicePlayer::Cut(int session) {
  if (session == 0 || session != session_) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    dropped_ += static_cast<int64_t>(fifo_.size());
    fifo_.clear();
  }
  Finish();
}

void RemoteVoicePlayer::Tick() {
  if (!session_) return;
  // The station let go by itself (time-out, the link lost), or the card gave up: nothing of
  // this voice plays any more.
  if ((held_ && !held_(session_)) || failed_) {
    Cut(session_);
    return;
  }
  if (!out_ || !done_) return;
  bool empty;
  {
    std::lock_guard<std::mutex> lock(mu_);
    empty = fifo_.empty();
  }
  int64_t pos = 0;
  out_->GetPosition(pos);
  if ((empty && pos >= voiceEnd_) || platform::Clock().Milliseconds() >= deadlineMs_) Finish();
}

void RemoteVoicePlayer::Finish(bool quiet) {
  closing_ = true;
  if (out_ && underruns_.load() == underrunsAtStart_ && cushion_.load() > kPrimeFrames)
    cushion_ -= kCushionStep;  // played without running dry: the link may have calmed down
  if (out_) {
    out_->Reset();
    out_->Close();
    out_.reset();
  }
  timer_.stop();
  session_ = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fifo_.clear();
    primed_ = draining_ = false;
  }
  auto done = std::move(done_);
  done_ = nullptr;
  if (done && !quiet) done();
}

}  // namespace app
