#include "app/RigLink.h"

#include <algorithm>
#include <cctype>

#include "app/Main.h"

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

int RigLink::TuneToChannel(int channel) {
  auto& e = m_.Einstellungen;
  if (channel < e.ErsterKanal || channel > e.LetzterKanal) return -net::RIG_EINVAL;
  // Count the steps each way round the mode's ring and take the shorter way.
  const int n = e.LetzterKanal - e.ErsterKanal + 1;
  const int from = std::clamp<int32_t>(e.Kanal, e.ErsterKanal, e.LetzterKanal);
  const int up = ((channel - from) % n + n) % n;
  const bool goUp = up <= n - up;
  try {
    for (int guard = 0; e.Kanal != channel && guard < 2 * kChannels; ++guard) {
      // The handler that moves the count up is "Up" normally and "Dn" on a reversed radio.
      const bool useUp = goUp == (m_.KanalSchritt > 0);
      if (useUp)
        m_.UPClick();
      else
        m_.DNClick();
    }
  } catch (const std::exception&) {
    return -net::RIG_EIO;
  }
  return e.Kanal == channel ? net::RIG_OK : -net::RIG_EIO;
}

int RigLink::Ptt() const {
  if (!m_.PTTTaste) return 0;
  return m_.WavSenden ? 3 : 1;
}

int RigLink::SetPtt(int ptt) {
  if (ptt == 0) {
    m_.PTTTaste = false;
    if (ownSound_) m_.WavSenden = false;
    ownSound_ = false;
  } else if (ptt == 3) {
    m_.PTTTaste = true;
    if (!m_.WavSenden) {
      m_.WavSenden = true;
      ownSound_ = true;
    }
  } else {
    m_.PTTTaste = true;
  }
  return net::RIG_OK;
}

int RigLink::StrengthDb() const {
  int k = std::clamp<int32_t>(m_.Einstellungen.Kanal, 1, kChannels);
  return static_cast<int>(m_.SWert[k]) - 54;
}

bool RigLink::SquelchOpen() const {
  int k = std::clamp<int32_t>(m_.Einstellungen.Kanal, 1, kChannels);
  return m_.SWert[k] >= m_.Squelch->GetValue();
}

}  // namespace app
