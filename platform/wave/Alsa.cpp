// ALSA backend of the wave seam. Device 0 (and -1) is the station's PCM (kanalo.conf
// "audio.input"/"audio.output", ALSA's "default" unless set), then the PCMs the ALSA
// configuration names. One driver thread per open stream polls the PCM's descriptors and
// an eventfd (commands from the callers), and moves one period at a time: no busy waiting.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Host.h"
#include "platform/wave/BufferQueue.h"
#include "platform/wave/Wave.h"
#include "rtl/Thread.h"

namespace platform::wave {

namespace {

void SilentErrors(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

// Whether a PCM can be opened at all: the station's (the default cannot without a sound card
// and without a sound server), and the hints that name no card: those are plugin definitions
// (rate converters, up- and downmixers, the servers' bridges) that ALSA lists whether or not
// anything stands behind them. Asked once per name and configuration, since opening costs time
// and a device's id must not move while the station runs.
bool AlsaPcmOpens(TWaveDir dir, const std::string& name) {
  static std::mutex mu;
  static std::map<std::string, bool> known;
  const char* env = getenv("ALSA_CONFIG_PATH");
  const std::string key =
      std::string(dir == TWaveDir::In ? "in\n" : "out\n") + (env ? env : "") + "\n" + name;
  std::lock_guard<std::mutex> lock(mu);
  if (auto it = known.find(key); it != known.end()) return it->second;
  // JACK's bridge asked without a JACK server of this user's would only print its complaints
  // (and, where the environment lets libjack, start one): it is listed when a server has run.
  if (name == "jack" && access(("/dev/shm/jack-" + std::to_string(getuid())).c_str(), F_OK) != 0)
    return known.emplace(key, false).first->second;
  // ALSA reports its own failures on standard error; ours are the messages that count.
  snd_lib_error_set_handler(SilentErrors);
  snd_pcm_t* pcm = nullptr;
  const bool opens =
      snd_pcm_open(&pcm, name.c_str(),
                   dir == TWaveDir::In ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                   SND_PCM_NONBLOCK) == 0;
  if (pcm) snd_pcm_close(pcm);
  known.emplace(key, opens);
  return opens;
}

namespace {

// The PCM the station's device 0 (and -1) stands for: kanalo.conf "audio.input" or
// "audio.output", ALSA's "default" (the sound server on a desktop) unless set.
std::string StationPcm(TWaveDir dir) {
  return platform::HostConfig::Instance().Get(dir == TWaveDir::In ? "audio.input" : "audio.output",
                                              "default");
}

// The names of the PCM devices in seam order (index = device id; the station's PCM first, then
// what ALSA lists). Without any sound card and sound server there are none, so the devices say
// so plainly rather than fail at open with a format error.
std::vector<std::string> PcmNames(TWaveDir dir) {
  std::vector<std::string> names;
  const std::string station = StationPcm(dir);
  if (AlsaPcmOpens(dir, station)) names.push_back(station);
  for (auto& h : ListAlsaPcms(dir))
    if (h.name != station) names.push_back(std::move(h.name));
  return names;
}

int AlsaToMM(int err) {
  switch (-err) {
    case EBUSY:
      return MMSYSERR_ALLOCATED;
    case ENOENT:
    case ENODEV:
      return MMSYSERR_BADDEVICEID;
    case ENOMEM:
      return MMSYSERR_NOMEM;
    case EINVAL:
      return WAVERR_BADFORMAT;
    default:
      return MMSYSERR_ERROR;
  }
}

// The code an open stream reports when it fails for good.
int StreamFault(int err) {
  switch (-err) {
    case ENODEV:
    case ENXIO:
    case EBADFD:
    case ENOTCONN:
    case ECONNRESET:
    case EPIPE:
    case EIO:
    case ESHUTDOWN:
      return WAVERR_DEVICEGONE;
    default:
      return MMSYSERR_ERROR;
  }
}

// Opens and configures `name` for `fmt`; 0 or a seam error code.
//
// Playback periods of 20 ms: a sound server (PulseAudio, PipeWire) wakes its clients once per
// period, and shorter ones cost CPU on every client without making anything here sound better.
// Playback keeps four of them (80 ms of sound queued, so a cue's tail is heard about that long
// after it was handed over). Capture periods are the largest power of two of frames within 50 ms
// (2048 at 44.1 and 48 kHz, the size of the station's capture buffer): the server, its client
// thread in our process and the capture thread then wake once per buffer instead of two or three
// times, and a buffer is never waited for longer than it takes to fill. Capture keeps eight
// periods, so a busy moment of the station does not overrun it. A live capture (what a browser page
// hears) keeps 20 ms periods: its listener would hear the longer ones as bursts.
//
// A low-latency stream (the software monitor) takes 5 ms periods and a playback ring of four.
enum class TPace { Buffered, Live, Low };
snd_pcm_uframes_t PeriodFrames(TWaveDir dir, TPace pace, unsigned rate) {
  if (dir == TWaveDir::In && pace == TPace::Buffered) {
    snd_pcm_uframes_t per = 64;
    while (per * 2 <= rate / 20) per *= 2;
    return per;
  }
  return std::max<snd_pcm_uframes_t>(rate / (pace == TPace::Low ? 200 : 50), 64);
}

// `period` and `ring` receive the frames the device settled on.
int OpenPcm(const std::string& name, TWaveDir dir, const TWaveFormatEx& fmt, snd_pcm_t** out,
            snd_pcm_uframes_t* period, snd_pcm_uframes_t* ring, bool* canPause, TPace pace) {
  if (fmt.wFormatTag != WAVE_FORMAT_PCM || (fmt.wBitsPerSample != 8 && fmt.wBitsPerSample != 16) ||
      fmt.nChannels < 1 || fmt.nChannels > 2 || fmt.nSamplesPerSec == 0)
    return WAVERR_BADFORMAT;
  snd_pcm_t* pcm = nullptr;
  int err = snd_pcm_open(&pcm, name.c_str(),
                         dir == TWaveDir::In ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                         SND_PCM_NONBLOCK);
  if (err < 0) return AlsaToMM(err);
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  unsigned rate = fmt.nSamplesPerSec;
  snd_pcm_uframes_t per = PeriodFrames(dir, pace, rate);
  snd_pcm_uframes_t buf = per * (dir == TWaveDir::In ? 8 : 4);
  if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0 ||
      (err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
      (err = snd_pcm_hw_params_set_format(
           pcm, hw, fmt.wBitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE)) < 0 ||
      (err = snd_pcm_hw_params_set_channels(pcm, hw, fmt.nChannels)) < 0 ||
      (err = snd_pcm_hw_params_set_rate(pcm, hw, rate, 0)) < 0 ||
      (err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &per, nullptr)) < 0 ||
      (err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buf)) < 0 ||
      (err = snd_pcm_hw_params(pcm, hw)) < 0) {
    snd_pcm_close(pcm);
    return err == -EINVAL ? WAVERR_BADFORMAT : AlsaToMM(err);
  }
  snd_pcm_hw_params_get_period_size(hw, &per, nullptr);
  snd_pcm_hw_params_get_buffer_size(hw, &buf);
  if (canPause) *canPause = snd_pcm_hw_params_can_pause(hw) != 0;
  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  snd_pcm_sw_params_current(pcm, sw);
  // We start explicitly: the default threshold (a full buffer) would hold short sounds back.
  snd_pcm_sw_params_set_start_threshold(pcm, sw, buf * 2);
  snd_pcm_sw_params_set_avail_min(pcm, sw, per);
  if (dir == TWaveDir::Out) {
    // What has been played is overwritten with silence, so a card that runs dry after the last
    // buffer of a sound plays nothing rather than the old ring once more.
    snd_pcm_uframes_t boundary = 0;
    snd_pcm_sw_params_get_boundary(sw, &boundary);
    snd_pcm_sw_params_set_silence_threshold(pcm, sw, 0);
    snd_pcm_sw_params_set_silence_size(pcm, sw, boundary);
  }
  snd_pcm_sw_params(pcm, sw);
  *out = pcm;
  if (period) *period = per;
  if (ring) *ring = buf;
  return 0;
}

// One open PCM and its driver thread. Output buffers pass two stages: written into ALSA's ring
// (the device keeps them "in flight" with the frame count at their end), then done once the
// device has played past that frame. So the last buffer of a sound comes back when its last
// sample has been heard, and the components' stop after it cuts nothing off.
class TAlsaStream : public IWaveStream {
 public:
  TAlsaStream(snd_pcm_t* pcm, TWaveDir dir, const TWaveFormatEx& fmt, TWaveCallback cb,
              snd_pcm_uframes_t period, snd_pcm_uframes_t ring, bool canPause)
      : pcm_(pcm),
        dir_(dir),
        fmt_(fmt),
        cb_(std::move(cb)),
        period_(period),
        ring_(ring),
        canPause_(canPause),
        running_(dir == TWaveDir::Out) {
    efd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    thread_ = std::thread([this] {
      rtl::SetThreadName(dir_ == TWaveDir::In ? "alsa-capture" : "alsa-playback");
      Loop();
    });
  }
  ~TAlsaStream() override {
    Shutdown();
    if (pcm_) snd_pcm_close(pcm_);
    if (efd_ >= 0) close(efd_);
  }

  int AddBuffer(TWaveHdr* hdr) override {
    if (!hdr || !(hdr->dwFlags & WHDR_PREPARED)) return MMSYSERR_INVALPARAM;
    bool wasEmpty;
    {
      std::lock_guard<std::mutex> lock(mu_);
      wasEmpty = queue_.Empty();
      queue_.Add(hdr);
    }
    // A capture thread that has a buffer is already waiting for the device and takes the new
    // one after it; only one that had none waits for this call. Capture buffers come back one by
    // one while recording, so this saves a wake-up per buffer.
    if (dir_ == TWaveDir::Out || wasEmpty) Wake();
    return 0;
  }
  int Start() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      running_ = true;
      lastMoved_ = -1;  // time held still while stopped does not count as a stall
      if (dir_ == TWaveDir::In && !fault_) {
        if (snd_pcm_state(pcm_) != SND_PCM_STATE_PREPARED) snd_pcm_prepare(pcm_);
        const int err = snd_pcm_start(pcm_);
        if (err < 0) return AlsaToMM(err);
      }
    }
    Wake();
    return 0;
  }
  int Pause() override {
    std::vector<TWaveHdr*> done;
    {
      std::lock_guard<std::mutex> lock(mu_);
      running_ = false;
      // Pausing works only on a running stream; a prepared one simply is not fed meanwhile.
      if (!fault_ && snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING) {
        if (canPause_) {
          snd_pcm_pause(pcm_, 1);
        } else {
          // What was in the ring is lost with the drop: its buffers are over.
          HandOverLost();
          snd_pcm_drop(pcm_);
          snd_pcm_prepare(pcm_);
          TakeInFlight(done);
        }
      }
    }
    Deliver(done);
    return 0;
  }
  int Restart() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      running_ = true;
      lastMoved_ = -1;
      if (!fault_ && snd_pcm_state(pcm_) == SND_PCM_STATE_PAUSED) snd_pcm_pause(pcm_, 0);
    }
    Wake();
    return 0;
  }
  int Stop() override {
    std::vector<TWaveHdr*> done;
    {
      std::lock_guard<std::mutex> lock(mu_);
      running_ = false;
      Drop();
      TakeInFlight(done);
      queue_.TakePartial(done);
    }
    Deliver(done);
    return 0;
  }
  int Reset() override {
    std::vector<TWaveHdr*> done;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (dir_ == TWaveDir::In) running_ = false;
      Drop();
      TakeInFlight(done);
      queue_.TakeAll(done);
      handed_ = 0;
      handedAtEmpty_ = -1;
    }
    Deliver(done);
    return 0;
  }
  int GetPosition(int64_t& frames) override {
    std::lock_guard<std::mutex> lock(mu_);
    frames = dir_ == TWaveDir::Out ? PlayedLocked(nullptr) : handed_;
    return 0;
  }
  int Close() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!queue_.Empty() || !inFlight_.empty()) return WAVERR_STILLPLAYING;
    }
    Shutdown();
    cb_(TWaveMsg::Close, nullptr);
    return 0;
  }
  int Fault() const override { return fault_.load(); }

 private:
  struct TInFlight {
    TWaveHdr* hdr;
    int64_t end;  // handed_ after its last frame
  };

  void Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(efd_, &one, sizeof one);
  }
  void Shutdown() {
    if (!thread_.joinable()) return;
    stop_ = true;
    Wake();
    thread_.join();
  }
  void Drop() {
    if (fault_) return;
    snd_pcm_drop(pcm_);
    snd_pcm_prepare(pcm_);
  }
  void TakeInFlight(std::vector<TWaveHdr*>& done) {
    for (const TInFlight& f : inFlight_) done.push_back(f.hdr);
    inFlight_.clear();
  }
  // Frames already written to a PCM that cannot pause are lost when it is dropped.
  void HandOverLost() {
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(pcm_, &delay) == 0 && delay > 0) handed_ -= std::min<int64_t>(delay, handed_);
  }
  void Deliver(const std::vector<TWaveHdr*>& done) {
    for (TWaveHdr* h : done) {
      TBufferQueue::MarkDone(h);
      cb_(TWaveMsg::Done, h);
    }
  }

  // Output frames played so far. A ring that ran dry (xrun) has played everything; an error
  // other than that goes to `err` (when given). Caller holds mu_.
  int64_t PlayedLocked(int* err) {
    if (fault_) return handed_;
    const snd_pcm_state_t st = snd_pcm_state(pcm_);
    if (st == SND_PCM_STATE_XRUN || st == SND_PCM_STATE_SETUP) return handed_;
    if (st == SND_PCM_STATE_DISCONNECTED) {
      if (err) *err = -ENODEV;
      return handed_;
    }
    snd_pcm_sframes_t delay = 0;
    const int rc = snd_pcm_delay(pcm_, &delay);
    if (rc == -EPIPE) return handed_;
    if (rc < 0) {
      if (err) *err = rc;
      return handed_;
    }
    delay = std::max<snd_pcm_sframes_t>(delay, 0);
    // With the ring empty, every handed frame is in the server's graph or has been played, and
    // what the device reports as delay is the graph's own latency. PipeWire's plugin keeps its
    // stream running on silence and reports that latency as a sawtooth that never reaches zero
    // (seen with a graph cycle of 1024 frames, longer than our period): the last sound would
    // never count as played. So from the moment the ring emptied, the delay seen then is counted
    // down on the clock; a device that reports less is believed.
    const snd_pcm_sframes_t avail = dir_ == TWaveDir::Out ? snd_pcm_avail_update(pcm_) : -1;
    if (avail >= 0 && static_cast<snd_pcm_uframes_t>(avail) >= ring_ &&
        st == SND_PCM_STATE_RUNNING) {
      const auto now = std::chrono::steady_clock::now();
      if (handedAtEmpty_ != handed_) {
        handedAtEmpty_ = handed_;
        emptyAt_ = now;
        delayAtEmpty_ = delay;
      }
      const int64_t since =
          std::chrono::duration_cast<std::chrono::microseconds>(now - emptyAt_).count() *
          fmt_.nSamplesPerSec / 1000000;
      delay = std::min<snd_pcm_sframes_t>(delay, std::max<int64_t>(delayAtEmpty_ - since, 0));
    }
    // Not started yet (prepared, paused): what was written still waits in the ring.
    return std::max<int64_t>(handed_ - delay, 0);
  }

  // After a failed call: underrun and suspend are recovered; anything else ends the stream. True
  // when the stream can go on. Caller holds mu_.
  bool Recover(int err) {
    if (err == -EPIPE || err == -ESTRPIPE || err == -EINTR) {
      if (snd_pcm_recover(pcm_, err, 1) == 0) {
        if (err != -EINTR) ++xruns_;
        // A device that is recovered but moves nothing (a dead server's plugin) is not asked
        // again at once: the loop would spin.
        backoff_ = true;
        if (dir_ == TWaveDir::In && running_) snd_pcm_start(pcm_);
        return true;
      }
    }
    // Once: the stream moves nothing any more, and the device hears of it from the loop.
    if (!fault_) fault_ = StreamFault(err);
    return false;
  }

  // Moves what the PCM can take or give now and retires what has been played; returns the
  // finished buffers.
  std::vector<TWaveHdr*> MoveOnce() {
    std::vector<TWaveHdr*> done;
    std::lock_guard<std::mutex> lock(mu_);
    if (!running_ || fault_) return done;
    const size_t align = std::max<size_t>(fmt_.nBlockAlign, 1);
    for (int round = 0; round < 8 && !queue_.Empty(); ++round) {
      TWaveHdr* h = queue_.Head();
      const size_t pos = queue_.HeadPos();
      const size_t cap = h->dwBufferLength / align * align;
      const auto want = static_cast<snd_pcm_uframes_t>(
          std::min<size_t>((cap - std::min(pos, cap)) / align, period_));
      snd_pcm_sframes_t n = 0;
      if (want > 0) {
        n = dir_ == TWaveDir::In ? snd_pcm_readi(pcm_, h->lpData + pos, want)
                                 : snd_pcm_writei(pcm_, h->lpData + pos, want);
        if (n == -EAGAIN) break;
        if (n < 0) {
          if (!Recover(static_cast<int>(n))) return done;
          continue;
        }
      }
      handed_ += n;
      std::vector<TWaveHdr*> finished;
      const bool whole = queue_.Advance(static_cast<size_t>(n) * align, cap, finished);
      for (TWaveHdr* f : finished) {
        if (dir_ == TWaveDir::In)
          done.push_back(f);
        else
          inFlight_.push_back({f, handed_});
      }
      if (!whole && n == 0) break;
    }
    // Output starts with its ring full (or with the whole sound, when it is shorter): a sound
    // server that is started on one period runs dry at once and loses the start of the sound.
    if (dir_ == TWaveDir::Out && snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED && handed_ > 0) {
      const snd_pcm_sframes_t room = snd_pcm_avail_update(pcm_);
      if (queue_.Empty() || (room >= 0 && static_cast<snd_pcm_uframes_t>(room) < period_)) {
        const int err = snd_pcm_start(pcm_);
        if (err < 0 && !Recover(err)) return done;
      }
    }
    int64_t moved = handed_;
    if (dir_ == TWaveDir::Out && handed_ > 0) {
      int err = 0;
      moved = PlayedLocked(&err);
      if (err < 0 && !Recover(err)) return done;
      while (!inFlight_.empty() && inFlight_.front().end <= moved) {
        done.push_back(inFlight_.front().hdr);
        inFlight_.pop_front();
      }
    }
    if (Stalled(moved)) Recover(-ENOTCONN);
    return done;
  }

  // A sound server that is killed leaves some plugins (PipeWire's) without any error: the stream
  // just stops moving. A running stream that has sound to move and moves nothing for this long
  // has lost its device. Caller holds mu_.
  bool Stalled(int64_t moved) {
    const auto now = std::chrono::steady_clock::now();
    const bool waiting = !queue_.Empty() || (dir_ == TWaveDir::Out && moved < handed_);
    if (!waiting || moved != lastMoved_) {
      lastMoved_ = moved;
      lastProgress_ = now;
      backoff_ = false;
      return false;
    }
    return now - lastProgress_ > std::chrono::milliseconds(kStallMs);
  }

  // How long to sleep at most before the next output buffer has played out: the ring signals
  // only when it has room, not when a given frame has been heard. Caller holds mu_.
  int PlayoutWaitMs() {
    if (inFlight_.empty() || fmt_.nSamplesPerSec == 0) return -1;
    const int64_t left = inFlight_.front().end - PlayedLocked(nullptr);
    const int64_t ms = left * 1000 / fmt_.nSamplesPerSec;
    return static_cast<int>(std::clamp<int64_t>(ms, 2, 20));
  }

  // A capture buffer is handed on only when it is full, so the thread need not wake for each
  // period: the device is asked to signal when the head buffer can be filled (at least one
  // period, at most half the ring, so that a late wake-up never overruns it). Caller holds mu_.
  void WakeWhenHeadBufferFills() {
    const size_t align = std::max<size_t>(fmt_.nBlockAlign, 1);
    const TWaveHdr* h = queue_.Head();
    const size_t cap = h->dwBufferLength / align * align;
    const auto left =
        static_cast<snd_pcm_uframes_t>((cap - std::min(queue_.HeadPos(), cap)) / align);
    const snd_pcm_uframes_t want = std::clamp(left, period_, std::max(period_, ring_ / 2));
    if (want == availMin_) return;
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    if (snd_pcm_sw_params_current(pcm_, sw) < 0 ||
        snd_pcm_sw_params_set_avail_min(pcm_, sw, want) < 0 || snd_pcm_sw_params(pcm_, sw) < 0)
      return;
    availMin_ = want;
  }

  void Loop() {
    std::vector<pollfd> fds;
    while (!stop_) {
      bool wantPcm, busy;
      int timeout = -1;
      fds.assign(1, pollfd{efd_, POLLIN, 0});
      {
        std::lock_guard<std::mutex> lock(mu_);
        busy = running_ && !fault_;
        wantPcm = busy && !queue_.Empty() && !backoff_;
        if (busy && backoff_) timeout = 20;
        if (busy && dir_ == TWaveDir::Out && !backoff_) timeout = PlayoutWaitMs();
        if (wantPcm && dir_ == TWaveDir::In) WakeWhenHeadBufferFills();
        if (wantPcm) {
          const int n = snd_pcm_poll_descriptors_count(pcm_);
          fds.resize(1 + static_cast<size_t>(std::max(n, 0)));
          snd_pcm_poll_descriptors(pcm_, fds.data() + 1, static_cast<unsigned>(n));
          // Guards against a PCM that never signals; the revents below tell when it did.
          if (timeout < 0 || timeout > 100) timeout = 100;
        }
      }
      if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
      if (fds[0].revents & POLLIN) {
        uint64_t v;
        [[maybe_unused]] ssize_t n = read(efd_, &v, sizeof v);
      }
      if (stop_) break;
      if (!busy) continue;
      if (wantPcm) {
        // Plugins (PipeWire's among them) clear their wake-up only here, and translate their
        // descriptors' events into the stream's own.
        unsigned short revents = 0;
        std::lock_guard<std::mutex> lock(mu_);
        if (!fault_)
          snd_pcm_poll_descriptors_revents(pcm_, fds.data() + 1,
                                           static_cast<unsigned>(fds.size() - 1), &revents);
      }
      const bool wasSound = fault_.load() == 0;
      Deliver(MoveOnce());
      if (wasSound && fault_.load() != 0) cb_(TWaveMsg::Error, nullptr);
    }
  }

  snd_pcm_t* pcm_;
  TWaveDir dir_;
  TWaveFormatEx fmt_;
  TWaveCallback cb_;
  snd_pcm_uframes_t period_;
  snd_pcm_uframes_t ring_;          // frames the device buffers
  snd_pcm_uframes_t availMin_ = 0;  // capture: what the device was last asked to signal at
  bool canPause_;
  std::mutex mu_;
  TBufferQueue queue_{dir_};  // after dir_, which it is made from
  std::deque<TInFlight> inFlight_;
  int64_t handed_ = 0;
  // When the playback ring was last seen empty, at which count of handed frames, and the delay
  // the device reported then (see PlayedLocked).
  int64_t handedAtEmpty_ = -1;
  std::chrono::steady_clock::time_point emptyAt_;
  int64_t delayAtEmpty_ = 0;
  int64_t xruns_ = 0;
  static constexpr int kStallMs = 2000;
  int64_t lastMoved_ = -1;
  bool backoff_ = false;
  std::chrono::steady_clock::time_point lastProgress_ = std::chrono::steady_clock::now();
  bool running_;
  std::atomic<int> fault_{0};
  int efd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class TAlsaBackend : public IWaveBackend {
 public:
  int NumDevs(TWaveDir dir) override { return static_cast<int>(PcmNames(dir).size()); }
  int GetDevCaps(TWaveDir dir, int id, TWaveCaps& caps) override {
    const auto names = PcmNames(dir);
    if (names.empty()) return MMSYSERR_NODRIVER;
    if (id < -1 || id >= static_cast<int>(names.size())) return MMSYSERR_BADDEVICEID;
    caps = TWaveCaps();
    caps.vDriverVersion = (SND_LIB_MAJOR << 8) | SND_LIB_MINOR;
    caps.szPname = names[static_cast<size_t>(std::max(id, 0))].substr(0, 31);
    // ALSA converts rates and shapes in its plug layer; the open decides in the end.
    caps.dwFormats = WAVE_FORMAT_ALL_STANDARD;
    caps.wChannels = 2;
    return 0;
  }
  int Open(TWaveDir dir, int id, const TWaveFormatEx& fmt, bool query, TWaveCallback cb,
           std::unique_ptr<IWaveStream>& out) override {
    return OpenStream(dir, id, fmt, query, std::move(cb), out, TPace::Buffered);
  }
  int OpenLowLatency(TWaveDir dir, int id, const TWaveFormatEx& fmt, TWaveCallback cb,
                     std::unique_ptr<IWaveStream>& out) override {
    return OpenStream(dir, id, fmt, false, std::move(cb), out, TPace::Low);
  }
  int OpenLive(TWaveDir dir, int id, const TWaveFormatEx& fmt, TWaveCallback cb,
               std::unique_ptr<IWaveStream>& out) override {
    return OpenStream(dir, id, fmt, false, std::move(cb), out, TPace::Live);
  }
  std::string GetErrorText(int code) override { return StandardErrorText(code); }

 private:
  int OpenStream(TWaveDir dir, int id, const TWaveFormatEx& fmt, bool query, TWaveCallback cb,
                 std::unique_ptr<IWaveStream>& out, TPace pace) {
    const auto names = PcmNames(dir);
    if (names.empty()) return MMSYSERR_NODRIVER;
    if (id < -1 || id >= static_cast<int>(names.size())) return MMSYSERR_BADDEVICEID;
    snd_pcm_t* pcm = nullptr;
    snd_pcm_uframes_t period = 0, ring = 0;
    bool canPause = false;
    const int rc = OpenPcm(names[static_cast<size_t>(std::max(id, 0))], dir, fmt, &pcm, &period,
                           &ring, &canPause, pace);
    if (rc != 0) return rc;
    if (query) {
      snd_pcm_close(pcm);
      return 0;
    }
    out = std::make_unique<TAlsaStream>(pcm, dir, fmt, cb, period, ring, canPause);
    cb(TWaveMsg::Open, nullptr);
    return 0;
  }
};

}  // namespace

// A hint bound to a card is listed as it is (it may be busy now and free later); one that names
// no card only when it opens.
std::vector<TPcmHint> ListAlsaPcms(TWaveDir dir) {
  std::vector<TPcmHint> out;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) != 0 || !hints) return out;
  for (void** h = hints; *h; ++h) {
    char* name = snd_device_name_get_hint(*h, "NAME");
    char* desc = snd_device_name_get_hint(*h, "DESC");
    char* io = snd_device_name_get_hint(*h, "IOID");
    if (name && (!io || std::strcmp(io, dir == TWaveDir::In ? "Input" : "Output") == 0) &&
        std::strcmp(name, "null") != 0 && (std::strstr(name, "CARD=") || AlsaPcmOpens(dir, name))) {
      std::string d = desc ? desc : "";
      out.push_back({name, d.substr(0, d.find('\n'))});
    }
    free(name);
    free(desc);
    free(io);
  }
  snd_device_name_free_hint(hints);
  return out;
}

std::shared_ptr<IWaveBackend> CreateAlsaBackend() {
  return std::make_shared<TAlsaBackend>();
}

}  // namespace platform::wave
