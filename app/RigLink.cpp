#include "app/RigLink.h"

#include <algorithm>
#include <cctype>

#include "app/StationNames.h"

namespace app {

int64_t RigLink::ParseFrequencyHz(const std::string& text) {
  // Exact decimal parsing: the table's texts are MHz with up to six decimals.
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  int64_t mhz = 0, frac = 0;
  int digits = 0, fracDigits = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits)
    mhz = mhz * 10 + (text[i] - '0');
  if (digits == 0 || digits > 4) return 0;
  if (i < text.size() && (text[i] == '.' || text[i] == ',')) {
    for (++i; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
      if (fracDigits == 6) return 0;
      frac = frac * 10 + (text[i] - '0');
      ++fracDigits;
    }
  }
  while (i < text.size() && text[i] == ' ') ++i;
  if (i != text.size()) return 0;
  for (int k = fracDigits; k < 6; ++k) frac *= 10;
  return mhz * 1000000 + frac;
}

int64_t RigLink::FrequencyHz() const {
  int k = std::clamp<int32_t>(m_.Einstellungen.Kanal, 1, kChannels);
  return ParseFrequencyHz(m_.Einstellungen.Frequenz[k].str());
}

int RigLink::Channel() const {
  return m_.Einstellungen.Kanal;
}

int RigLink::TuneToFrequency(int64_t hz) {
  const auto& e = m_.Einstellungen;
  for (int c = std::max<int32_t>(e.ErsterKanal, 1); c <= std::min<int32_t>(e.LetzterKanal, 80); ++c)
    if (ParseFrequencyHz(e.Frequenz[c].str()) == hz) return TuneToChannel(c);
  return -net::RIG_EINVAL;
}

RigLink::RigLink(station::TStation& station) : m_(station), alive_(station.Alive()) {}

// A run still going on ends in the station without anybody to answer.
RigLink::~RigLink() = default;

int RigLink::TuneToChannel(int channel) {
  auto& e = m_.Einstellungen;
  if (e.ErsterKanal < 1 || e.LetzterKanal > kChannels || e.ErsterKanal > e.LetzterKanal)
    return -net::RIG_EIO;
  if (channel < e.ErsterKanal || channel > e.LetzterKanal) return -net::RIG_EINVAL;
  // Stepping while keyed would change the channel under a transmission; the scanner steps by
  // itself; one run of steps at a time.
  // A step of the operator's still running counts as a run.
  if (m_.Tx.Held() || m_.TxAktiv || e.ScanModus != 0 || tuning_ || m_.Stepping())
    return -net::RIG_ERJCTED;
  // Count the steps each way round the mode's ring and take the shorter way.
  const int n = e.LetzterKanal - e.ErsterKanal + 1;
  // A count outside the mode's range comes back with the first step, either way: to the first
  // channel from above, to the last from below.
  const bool outside = e.Kanal < e.ErsterKanal || e.Kanal > e.LetzterKanal;
  const int from = !outside ? e.Kanal : e.Kanal > e.LetzterKanal ? e.ErsterKanal : e.LetzterKanal;
  const int up = ((channel - from) % n + n) % n;
  const bool goUp = up <= n - up;
  const int steps = (goUp ? up : n - up) + (outside ? 1 : 0);
  if (steps == 0) return net::RIG_OK;
  // The handler that moves the count up is "Up" normally and "Dn" on a reversed radio.
  const bool useUp = goUp == (m_.KanalSchritt > 0);
  if (!m_.RS232->IsOpen()) return -net::RIG_EIO;
  // The client's answer waits for the run; the station, the tick and other clients go on. A press
  // of the operator's, the box's keys or the scanner meanwhile ends the run (RPRT -9).
  using End = station::TStation::TRunEnd;
  tuning_ = true;
  bool started = false;
  try {
    started =
        m_.StepRun(useUp, std::min(steps, station::TStation::kMaxRunSteps),
                   [this, life = std::weak_ptr<int>(life_), channel](End end) {
                     if (life.expired()) return;
                     tuning_ = false;
                     int result = end == End::Done      ? net::RIG_OK
                                  : end == End::GaveWay ? -net::RIG_ERJCTED
                                                        : -net::RIG_EIO;
                     if (result == net::RIG_OK && !(alive_ && m_.Einstellungen.Kanal == channel))
                       result = -net::RIG_EIO;
                     tuneResult_ = result;
                     if (tuneDone_) tuneDone_();
                   });
  } catch (const std::exception&) {
    tuning_ = false;  // the first press failed: the client hears at once
    return -net::RIG_EIO;
  }
  if (!started) tuning_ = false;
  // A first press that failed at once has answered already.
  return started ? (tuning_ ? net::RIG_PENDING : tuneResult_) : -net::RIG_ERJCTED;
}

int RigLink::Ptt() const {
  if (!m_.Tx.Held()) return 0;
  return m_.Tx.OwnSound() ? 3 : 1;
}

int RigLink::SetPtt(int ptt) {
  return SetPttFrom(0, ptt);
}

int RigLink::SetPttFrom(int client, int ptt) {
  using station::TTxSource;
  // A client ends only its own keying: the operator or another client may hold as well.
  if (ptt == 0) {
    m_.Tx.Release(TTxSource::Client, client);
    return net::RIG_OK;
  }
  // The station decides (scanning, no link, a silent box); rig control only maps its refusal:
  // a scan is a refusal of the request, everything else a failure of the radio.
  if (!m_.TxRefusal().empty())
    return m_.Einstellungen.ScanModus != 0 ? -net::RIG_ERJCTED : -net::RIG_EIO;
  if (!m_.Tx.Hold(TTxSource::Client, client, ptt == 3)) return -net::RIG_EIO;
  return net::RIG_OK;
}

void RigLink::ClientGone(int client) {
  // Keying held by a client that is gone would hold the transmitter with nobody to release it.
  // The server closes its clients also while the window is being destroyed.
  if (alive_) m_.Tx.Release(station::TTxSource::Client, client);
}

int RigLink::StrengthDb() const {
  int k = std::clamp<int32_t>(m_.Einstellungen.Kanal, 1, kChannels);
  return static_cast<int>(m_.SWert[k]) - 54;
}

bool RigLink::HasReading() const {
  // Not connected, the count and its table still answer as before; a silent box has no reading.
  return !(m_.Verbunden && m_.BoxSilent());
}

bool RigLink::ReadingFresh() const {
  return !m_.Verbunden || m_.ReadingFresh();
}

bool RigLink::SquelchOpen() const {
  int k = std::clamp<int32_t>(m_.Einstellungen.Kanal, 1, kChannels);
  return m_.SWert[k] >= m_.Einstellungen.SquelchWert;
}

}  // namespace app
