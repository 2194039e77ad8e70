#include <gtest/gtest.h>

#include <cmath>

#include "station/Dtmf.h"

using namespace station;

namespace {

std::array<double, 8> Steps() {
  static const int f[8] = {697, 770, 852, 941, 1209, 1336, 1477, 1633};
  std::array<double, 8> s{};
  for (int i = 0; i < 8; ++i) s[i] = 2 * M_PI * f[i] / 44100.0;
  return s;
}

TEST(DTMFSender, NumberBecomesSilenceThenTonePausePairs) {
  TDTMFSender s;
  s.Build("1234", Steps(), nullptr);
  EXPECT_EQ(s.DTMFAnzahl, 15);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(s.DTMFFolge[i].Schritt1, 0.0);
  EXPECT_DOUBLE_EQ(s.DTMFFolge[7].Schritt1, Steps()[0]);
  EXPECT_DOUBLE_EQ(s.DTMFFolge[7].Schritt2, Steps()[4]);
  EXPECT_EQ(s.DTMFFolge[8].Schritt1, 0.0);
  EXPECT_DOUBLE_EQ(s.DTMFFolge[13].Schritt1, Steps()[1]);  // '4': row 2, column 1
  EXPECT_DOUBLE_EQ(s.DTMFFolge[13].Schritt2, Steps()[4]);
  std::vector<uint8_t> buf(4500);
  bool more = true;
  int buffers = 0;
  while (more) {
    more = s.Fill(buf.data(), 4500);
    ++buffers;
  }
  EXPECT_EQ(buffers, 15);
}

TEST(DTMFSender, SamplesOfToneAndSilence) {
  TDTMFSender s;
  s.Build("1", Steps(), nullptr);
  std::vector<uint8_t> buf(4500);
  s.Fill(buf.data(), 4500);  // silent segment
  for (uint8_t b : buf) ASSERT_EQ(b, 128);
  for (int i = 1; i < 7; ++i) s.Fill(buf.data(), 4500);
  s.Fill(buf.data(), 4500);
  EXPECT_EQ(buf[0], 145);
  uint8_t lo = 255, hi = 0;
  for (uint8_t b : buf) {
    lo = std::min(lo, b);
    hi = std::max(hi, b);
  }
  EXPECT_GE(lo, 2);
  EXPECT_LE(hi, 254);
  // Every tone starts at phase 0, whatever the segment before it left: "11" sends one tone twice.
  TDTMFSender t;
  t.Build("11", Steps(), nullptr);
  std::vector<uint8_t> first(3001), second(3001);
  for (int i = 0; i < 7; ++i) t.Fill(buf.data(), 4500);
  t.Fill(first.data(), 3001);
  t.Fill(buf.data(), 4500);
  t.Fill(second.data(), 3001);
  EXPECT_EQ(first, second);
  EXPECT_EQ(second[0], 145);
}

TEST(DTMFSender, InvalidCharactersWarnOnceEachAndSendSilence) {
  TDTMFSender s;
  std::string warned;
  s.Build("12a4x", Steps(), [&](char c) { warned += c; });
  EXPECT_EQ(warned, "ax");
  EXPECT_EQ(s.DTMFFolge[11].Schritt1, 0.0);  // where the 'a' would be
  EXPECT_NE(s.DTMFFolge[13].Schritt1, 0.0);
}

TEST(DTMFSender, OverlongNumberStaysInsideTheTable) {
  TDTMFSender s;
  s.Build(std::string(300, '5'), Steps(), nullptr);
  EXPECT_LE(s.DTMFAnzahl, kDTMFSegments);
  std::vector<uint8_t> buf(16);
  int n = 0;
  while (s.Fill(buf.data(), 16) && n < 1000) ++n;
  EXPECT_LT(n, 1000);
  s.Build("", Steps(), nullptr);
  EXPECT_EQ(s.DTMFAnzahl, 7);
}

std::array<int32_t, 8> Tones(int a, int b, int32_t level = 1000, int32_t floor = 10) {
  std::array<int32_t, 8> s;
  s.fill(floor);
  if (a) s[a - 1] = level;
  if (b) s[b - 1] = level;
  return s;
}

// Feeds a digit string as tone pairs with pauses between them.
int Send(TDTMFDecoder& d, const std::string& digits, const std::string& own = "2345",
         const std::string& mb = "3456") {
  int result = 0;
  for (char c : digits) {
    int row, col;
    DTMFPosition(c, row, col);
    for (int i = 0; i < 3; ++i) result |= d.Step(Tones(row + 1, col + 5), 50, own, mb);
    for (int i = 0; i < 3; ++i) result |= d.Step(Tones(0, 0), 50, own, mb);
  }
  return result;
}

TEST(DTMFDecoder, PairsBecomeCharacters) {
  TDTMFDecoder d;
  d.Step(Tones(2, 7), 50, "", "");
  EXPECT_EQ(d.TonAnzahl, 2);
  EXPECT_EQ(d.Code, "27");
  EXPECT_EQ(d.LM, "6");
  d.Step(Tones(0, 0), 50, "", "");
  d.Step(Tones(4, 6), 50, "", "");
  EXPECT_EQ(d.LM, "60");
  EXPECT_EQ(DTMFCharacter(48), 'D');
  EXPECT_EQ(DTMFCharacter(12), 0);
}

TEST(DTMFDecoder, SilenceSingleToneAndTwoRows) {
  TDTMFDecoder d;
  d.Step(Tones(0, 0, 0, 0), 50, "", "");
  EXPECT_EQ(d.TonAnzahl, 0);
  d.Step(Tones(3, 0), 50, "", "");
  EXPECT_EQ(d.TonAnzahl, 1);
  EXPECT_EQ(d.LM, "");
  d.PausenZaehler = 7;
  d.Step(Tones(1, 2), 50, "", "");
  EXPECT_EQ(d.LM, "");
  EXPECT_TRUE(d.ZifferErkannt);
  EXPECT_EQ(d.PausenZaehler, 0);
  // A lone tone, or three at once, is a pause like silence: it counts and lets the same key in
  // again, so "1", one tone, "1" is "11".
  TDTMFDecoder p;
  p.Step(Tones(1, 5), 50, "", "");
  p.Step(Tones(1, 0), 50, "", "");
  EXPECT_FALSE(p.ZifferErkannt);
  EXPECT_EQ(p.PausenZaehler, 1);
  p.Step(Tones(1, 5), 50, "", "");
  auto three = Tones(1, 5, 1000, 0);
  three[6] = 1000;
  p.Step(three, 0, "", "");  // three tones pass only a threshold at the mean
  EXPECT_EQ(p.TonAnzahl, 3);
  p.Step(Tones(1, 5), 50, "", "");
  EXPECT_EQ(p.LM, "111");
}

TEST(DTMFDecoder, OwnNumberMatchesOnlyAtTheStartOfALine) {
  TDTMFDecoder d;
  EXPECT_EQ(Send(d, "2345"), TDTMFDecoder::drOwnNumber);
  TDTMFDecoder e;
  EXPECT_EQ(Send(e, "92345"), 0);
  TDTMFDecoder m;
  EXPECT_EQ(Send(m, "3456"), TDTMFDecoder::drMailbox);
}

TEST(DTMFDecoder, EmptyOrForeignNumbersNeverMatch) {
  TDTMFDecoder d;
  int r = 0;
  for (int i = 0; i < 3; ++i) r |= d.Step(Tones(1, 2), 50, "", "");  // two rows, empty line
  EXPECT_EQ(r, 0);
  TDTMFDecoder e;
  EXPECT_EQ(Send(e, "1234", "12x4", std::string(255, '1')), 0);
}

TEST(DTMFDecoder, HeldToneGivesOneDigit) {
  TDTMFDecoder d;
  for (int i = 0; i < 22; ++i) d.Step(Tones(1, 5), 50, "", "");  // one second of triggers
  EXPECT_EQ(d.LM, "1");
}

TEST(DTMFDecoder, LinesEndByLengthOrLongPause) {
  TDTMFDecoder d;
  Send(d, std::string(33, '7'), "", "");
  EXPECT_EQ(d.LA, std::string(31, '7'));
  EXPECT_EQ(d.LM, "");
  TDTMFDecoder p;
  Send(p, "12", "", "");
  for (int i = 0; i < 496; ++i) p.Step(Tones(0, 0), 50, "", "");  // 3 + 496 = 499 quiet
  EXPECT_EQ(p.LM, "12");
  p.Step(Tones(0, 0), 50, "", "");  // the 500th quiet trigger
  EXPECT_EQ(p.LM, "");
  EXPECT_EQ(p.LA, "12");
}

TEST(DTMFDecoder, SensitivityHundredNeedsMoreThanFourTimesTheMean) {
  TDTMFDecoder d;
  std::array<int32_t, 8> s{};
  s[0] = 1000;
  s[4] = 1000;  // mean 250, threshold 4 * 250 = 1000: equal does not count
  d.Step(s, 100, "", "");
  EXPECT_EQ(d.TonAnzahl, 0);
  s[0] = 1010;
  d.Step(s, 100, "", "");
  EXPECT_EQ(d.TonAnzahl, 1);
  d.Step(Tones(1, 5, INT32_MAX / 2, 0), INT32_MAX, "", "");  // no overflow
}

TEST(Mailbox, StampFromGermanDateAndTime) {
  EXPECT_EQ(MailboxStamp("06.12.2026", "14:30:05"), "20261206143005");
  EXPECT_EQ(MailboxStamp("06.12.26", "14:30:05"), "20261206143005");
}

TEST(Mailbox, TimeLabelFormats) {
  EXPECT_EQ(FormatWavTime(65250), "1:05.250");
  EXPECT_EQ(FormatWavTime(2150), "0:02.150");
  EXPECT_EQ(FormatWavTime(3600000 + 61001), "1:01:01.001");
  EXPECT_EQ(FormatWavTime(86400000LL * 2 + 5), "2:00:00:00.005");
}

}  // namespace
