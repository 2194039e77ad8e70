#include "station/Dtmf.h"

#include <cmath>
#include <cstdio>

namespace station {

namespace {
constexpr char kKeys[4][5] = {"123A", "456B", "789C", "*0#D"};
constexpr double kTwoPi = 2 * M_PI;
}  // namespace

bool DTMFPosition(char c, int& row, int& column) {
  for (int r = 0; r < 4; ++r)
    for (int k = 0; k < 4; ++k)
      if (kKeys[r][k] == c) {
        row = r;
        column = k;
        return true;
      }
  return false;
}

void TDTMFSender::Build(const std::string& number, const std::array<double, 8>& DTMFSchritt,
                        const std::function<void(char)>& invalid) {
  for (int i = 0; i <= 6; ++i) DTMFFolge[i] = {};
  int n = 7;
  for (char c : number) {
    if (n + 1 >= kDTMFSegments) break;
    int row, column;
    if (DTMFPosition(c, row, column)) {
      DTMFFolge[n] = {DTMFSchritt[row], DTMFSchritt[4 + column]};
    } else {
      if (invalid) invalid(c);
      DTMFFolge[n] = {};
    }
    DTMFFolge[n + 1] = {};
    n += 2;
  }
  DTMFAnzahl = n;
  DTMFPos = 0;
}

bool TDTMFSender::Fill(uint8_t* data, uint32_t length) {
  Phase1 = 0;
  Phase2 = 0;
  // Requests after the last segment get silence rather than reading past the sequence.
  const TDTMFSegment seg = DTMFPos >= 0 && DTMFPos < DTMFAnzahl && DTMFPos < kDTMFSegments
                               ? DTMFFolge[DTMFPos]
                               : TDTMFSegment{};
  Schritt1 = seg.Schritt1;
  Schritt2 = seg.Schritt2;
  ++DTMFPos;
  for (uint32_t i = 0; i < length; ++i) {
    Phase1 += Schritt1;
    Phase2 += Schritt2;
    if (Phase1 > kTwoPi) Phase1 -= kTwoPi;
    if (Phase2 > kTwoPi) Phase2 -= kTwoPi;
    data[i] = static_cast<uint8_t>(
        static_cast<int>(std::trunc(63 * std::sin(Phase1) + 63 * std::sin(Phase2) + 128)));
  }
  return DTMFPos < DTMFAnzahl;
}

char DTMFCharacter(int code) {
  int row = code / 10, column = code % 10;
  if (row < 1 || row > 4 || column < 5 || column > 8) return 0;
  return kKeys[row - 1][column - 5];
}

int TDTMFDecoder::Step(const std::array<int32_t, 8>& s, int32_t sensitivity, const std::string& own,
                       const std::string& mailbox) {
  TonAnzahl = 0;
  Code.clear();
  int64_t sum = 0;
  for (int32_t v : s) sum += v;
  TonSchwelle = static_cast<int32_t>(sum / 4);
  // 64 bits: a large sensitivity from a settings file must not overflow the threshold.
  const int64_t limit =
      (static_cast<int64_t>(TonSchwelle) * 100 + static_cast<int64_t>(sensitivity) * TonSchwelle) /
      100;
  for (int p = 1; p <= 8; ++p) {
    if (s[p - 1] > limit) {
      ++TonAnzahl;
      Code += static_cast<char>('0' + p);
    }
  }
  int result = drNone;
  if (TonAnzahl == 2 && !ZifferErkannt) {
    ZifferErkannt = true;
    PausenZaehler = 0;
    char c = DTMFCharacter((Code[0] - '0') * 10 + (Code[1] - '0'));
    // Only a new character can complete a number, and an empty number is no number: a
    // two-row pair on an empty line must not "match" an empty setting.
    if (c) {
      LM += c;
      if (!own.empty() && LM == own) result |= drOwnNumber;
      if (!mailbox.empty() && LM == mailbox) result |= drMailbox;
    }
  }
  if (TonAnzahl != 2) {
    ZifferErkannt = false;
    ++PausenZaehler;
  }
  if (LM.size() > 32 || PausenZaehler == 500) {
    LA = LM.substr(0, 31);
    LM.clear();
  }
  return result;
}

std::string MailboxStamp(const std::string& d, const std::string& t) {
  auto part = [](const std::string& s, size_t from, size_t count) {
    return from - 1 < s.size() ? s.substr(from - 1, count) : std::string();
  };
  std::string stamp;
  if (d.size() > 8)
    stamp = part(d, 7, 4) + part(d, 4, 2) + part(d, 1, 2);
  else
    stamp = "20" + part(d, 7, 2) + part(d, 4, 2) + part(d, 1, 2);
  return stamp + part(t, 1, 2) + part(t, 4, 2) + part(t, 7, 2);
}

std::string FormatWavTime(int64_t ms) {
  if (ms < 0) ms = 0;
  const int64_t msec = ms % 1000, s = ms / 1000 % 60, m = ms / 60000 % 60, h = ms / 3600000 % 24,
                d = ms / 86400000;
  char buf[64];
  if (ms < 3600000)
    std::snprintf(buf, sizeof buf, "%lld:%2.2lld.%3.3lld", static_cast<long long>(m),
                  static_cast<long long>(s), static_cast<long long>(msec));
  else if (ms < 86400000)
    std::snprintf(buf, sizeof buf, "%lld:%2.2lld:%2.2lld.%3.3lld", static_cast<long long>(h),
                  static_cast<long long>(m), static_cast<long long>(s),
                  static_cast<long long>(msec));
  else
    std::snprintf(buf, sizeof buf, "%lld:%2.2lld:%2.2lld:%2.2lld.%3.3lld",
                  static_cast<long long>(d), static_cast<long long>(h), static_cast<long long>(m),
                  static_cast<long long>(s), static_cast<long long>(msec));
  return buf;
}

}  // namespace station
