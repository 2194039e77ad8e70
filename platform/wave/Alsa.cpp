// ALSA backend of the wave seam. Device 0 (and -1) is the system's "default" PCM, then the PCMs
// the ALSA configuration names. One driver thread per open stream polls the PCM's descriptors and
// an eventfd (commands from the callers), and moves one period at a time: no busy waiting.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/wave/BufferQueue.h"
#include "platform/wave/Wave.h"

namespace platform::wave {

namespace {

void SilentErrors(const char*, int, const char*, int, const char*, ...) {}

// Whether the configuration's default PCM can be opened at all (it cannot without a sound card
// and without a sound server). Asked once per configuration path, since opening costs time.
bool DefaultUsable(TWaveDir dir) {
  static std::mutex mu;
  static std::string key[2];
  static bool usable[2];
  static bool known[2] = {false, false};
  const char* env = getenv("ALSA_CONFIG_PATH");
  const std::string k = env ? env : "";
  const int i = dir == TWaveDir::In ? 0 : 1;
  std::lock_guard<std::mutex> lock(mu);
  if (!known[i] || key[i] != k) {
    // ALSA reports its own failures on standard error; ours are the messages that count.
    snd_lib_error_set_handler(SilentErrors);
    snd_pcm_t* pcm = nullptr;
    usable[i] = snd_pcm_open(&pcm, "default",
                             dir == TWaveDir::In ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                             SND_PCM_NONBLOCK) == 0;
    if (pcm) snd_pcm_close(pcm);
    key[i] = k;
    known[i] = true;
  }
  return usable[i];
}

// The names of the PCM devices in seam order (index = device id; "default" first). Without a
// usable default and without other devices there are none, so the devices say so plainly.
std::vector<std::string> PcmNames(TWaveDir dir) {
  std::vector<std::string> names;
  if (DefaultUsable(dir)) names.emplace_back("default");
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) == 0 && hints) {
    for (void** h = hints; *h; ++h) {
      char* name = snd_device_name_get_hint(*h, "NAME");
      char* io = snd_device_name_get_hint(*h, "IOID");
      const bool fits = !io || std::strcmp(io, dir == TWaveDir::In ? "Input" : "Output") == 0;
      if (name && fits && std::strcmp(name, "default") != 0 && std::strcmp(name, "null") != 0)
        names.emplace_back(name);
      free(name);
      free(io);
    }
    snd_device_name_free_hint(hints);
  }
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

// Opens and configures `name` for `fmt`; 0 or a seam error code.
int OpenPcm(const std::string& name, TWaveDir dir, const TWaveFormatEx& fmt, snd_pcm_t** out,
            snd_pcm_uframes_t* period, bool* canPause) {
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
  snd_pcm_uframes_t per = std::max<snd_pcm_uframes_t>(rate / 100, 32);  // about 10 ms
  snd_pcm_uframes_t buf = per * 8;
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
  if (canPause) *canPause = snd_pcm_hw_params_can_pause(hw) != 0;
  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  snd_pcm_sw_params_current(pcm, sw);
  // We start explicitly: the default threshold (a full buffer) would hold short sounds back.
  snd_pcm_sw_params_set_start_threshold(pcm, sw, buf * 2);
  snd_pcm_sw_params_set_avail_min(pcm, sw, per);
  snd_pcm_sw_params(pcm, sw);
  *out = pcm;
  if (period) *period = per;
  return 0;
}

class TAlsaStream : public IWaveStream {
 public:
  TAlsaStream(snd_pcm_t* pcm, TWaveDir dir, const TWaveFormatEx& fmt, TWaveCallback cb,
              snd_pcm_uframes_t period, bool canPause)
      : pcm_(pcm),
        dir_(dir),
        fmt_(fmt),
        cb_(std::move(cb)),
        period_(period),
        canPause_(canPause),
        running_(dir == TWaveDir::Out) {
    efd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    thread_ = std::thread([this] { Loop(); });
  }
  ~TAlsaStream() override {
    Shutdown();
    if (pcm_) snd_pcm_close(pcm_);
    if (efd_ >= 0) close(efd_);
  }

  int AddBuffer(TWaveHdr* hdr) override {
    if (!hdr || !(hdr->dwFlags & WHDR_PREPARED)) return MMSYSERR_INVALPARAM;
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.Add(hdr);
    }
    Wake();
    return 0;
  }
  int Start() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      running_ = true;
      if (dir_ == TWaveDir::In) {
        if (snd_pcm_state(pcm_) != SND_PCM_STATE_PREPARED) snd_pcm_prepare(pcm_);
        const int err = snd_pcm_start(pcm_);
        if (err < 0) return AlsaToMM(err);
      }
    }
    Wake();
    return 0;
  }
  int Pause() override {
    std::lock_guard<std::mutex> lock(mu_);
    running_ = false;
    // Pausing works only on a running stream; a prepared one simply is not fed meanwhile.
    if (snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING) {
      if (canPause_) {
        snd_pcm_pause(pcm_, 1);
      } else {
        HandOverLost();
        snd_pcm_drop(pcm_);
        snd_pcm_prepare(pcm_);
      }
    }
    return 0;
  }
  int Restart() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      running_ = true;
      if (snd_pcm_state(pcm_) == SND_PCM_STATE_PAUSED) snd_pcm_pause(pcm_, 0);
    }
    Wake();
    return 0;
  }
  int Stop() override {
    std::vector<TWaveHdr*> done;
    {
      std::lock_guard<std::mutex> lock(mu_);
      running_ = false;
      snd_pcm_drop(pcm_);
      snd_pcm_prepare(pcm_);
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
      snd_pcm_drop(pcm_);
      snd_pcm_prepare(pcm_);
      queue_.TakeAll(done);
      handed_ = 0;
    }
    Deliver(done);
    return 0;
  }
  int GetPosition(int64_t& frames) override {
    std::lock_guard<std::mutex> lock(mu_);
    snd_pcm_sframes_t delay = 0;
    if (dir_ == TWaveDir::Out && snd_pcm_delay(pcm_, &delay) < 0) delay = 0;
    frames = std::max<int64_t>(handed_ - std::max<snd_pcm_sframes_t>(delay, 0), 0);
    return 0;
  }
  int Close() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!queue_.Empty()) return WAVERR_STILLPLAYING;
    }
    Shutdown();
    cb_(TWaveMsg::Close, nullptr);
    return 0;
  }

 private:
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

  // Moves what the PCM can take or give now; returns the finished buffers.
  std::vector<TWaveHdr*> MoveOnce() {
    std::vector<TWaveHdr*> done;
    std::lock_guard<std::mutex> lock(mu_);
    if (!running_ || queue_.Empty()) return done;
    const size_t align = std::max<size_t>(fmt_.nBlockAlign, 1);
    for (int round = 0; round < 4 && !queue_.Empty(); ++round) {
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
          if (snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0) break;
          if (dir_ == TWaveDir::In) snd_pcm_start(pcm_);
          continue;
        }
        if (dir_ == TWaveDir::Out && snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED)
          snd_pcm_start(pcm_);
      }
      handed_ += n;
      if (!queue_.Advance(static_cast<size_t>(n) * align, cap, done) && n == 0) break;
    }
    return done;
  }

  void Loop() {
    while (!stop_) {
      bool wantPcm;
      std::vector<pollfd> fds(1);
      fds[0] = {efd_, POLLIN, 0};
      {
        std::lock_guard<std::mutex> lock(mu_);
        wantPcm = running_ && !queue_.Empty();
        if (wantPcm) {
          const int n = snd_pcm_poll_descriptors_count(pcm_);
          fds.resize(1 + static_cast<size_t>(std::max(n, 0)));
          snd_pcm_poll_descriptors(pcm_, fds.data() + 1, static_cast<unsigned>(n));
        }
      }
      // The timeout only guards against a PCM that never signals (some plugins).
      if (poll(fds.data(), fds.size(), wantPcm ? 50 : -1) < 0 && errno != EINTR) break;
      if (fds[0].revents & POLLIN) {
        uint64_t v;
        [[maybe_unused]] ssize_t n = read(efd_, &v, sizeof v);
      }
      if (stop_) break;
      if (wantPcm) Deliver(MoveOnce());
    }
  }

  snd_pcm_t* pcm_;
  TWaveDir dir_;
  TWaveFormatEx fmt_;
  TWaveCallback cb_;
  snd_pcm_uframes_t period_;
  bool canPause_;
  std::mutex mu_;
  TBufferQueue queue_{dir_};  // after dir_, which it is made from
  int64_t handed_ = 0;
  bool running_;
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
    const auto names = PcmNames(dir);
    if (names.empty()) return MMSYSERR_NODRIVER;
    if (id < -1 || id >= static_cast<int>(names.size())) return MMSYSERR_BADDEVICEID;
    snd_pcm_t* pcm = nullptr;
    snd_pcm_uframes_t period = 0;
    bool canPause = false;
    const int rc =
        OpenPcm(names[static_cast<size_t>(std::max(id, 0))], dir, fmt, &pcm, &period, &canPause);
    if (rc != 0) return rc;
    if (query) {
      snd_pcm_close(pcm);
      return 0;
    }
    out = std::make_unique<TAlsaStream>(pcm, dir, fmt, cb, period, canPause);
    cb(TWaveMsg::Open, nullptr);
    return 0;
  }
  std::string GetErrorText(int code) override { return StandardErrorText(code); }
};

}  // namespace

std::shared_ptr<IWaveBackend> CreateAlsaBackend() {
  return std::make_shared<TAlsaBackend>();
}

}  // namespace platform::wave
