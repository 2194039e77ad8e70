// The KVR-100's protocol: key codes at the edges of their ranges, pulse lengths, frames split
// over batches.
#include <gtest/gtest.h>

#include <vector>

#include "station/BoxProtocol.h"

using station::TStep;

namespace {

TEST(KvrBox, KeyCodesStepAtTheEdgesOfTheirRanges) {
  const auto& box = station::KvrBox();
  const std::pair<int, TStep> cases[] = {{0, TStep::None},   {80, TStep::None}, {81, TStep::Down},
                                         {87, TStep::Down},  {88, TStep::None}, {116, TStep::None},
                                         {117, TStep::Up},   {123, TStep::Up},  {124, TStep::None},
                                         {130, TStep::None}, {131, TStep::Up},  {255, TStep::Up}};
  for (auto [key, step] : cases) EXPECT_EQ(box.StepForKey(uint8_t(key)), step) << key;
  EXPECT_EQ(box.StepLine(TStep::Up), station::TModemLine::Rts);
  EXPECT_EQ(box.StepLine(TStep::Down), station::TModemLine::Dtr);
}

TEST(KvrBox, LineCommandsAndPulses) {
  const auto& box = station::KvrBox();
  EXPECT_EQ(box.Line(), (station::TLineSettings{4800, 8, 'N', 2}));
  EXPECT_EQ(box.ReceiveCommand(), 9);
  EXPECT_EQ(box.OwnSoundCommand(), 11);
  EXPECT_EQ(box.MicrophoneCommand(), 15);
  EXPECT_EQ(box.PulseMicros(2000), 20000);
  EXPECT_EQ(box.PulseMicros(-5), 0);
  EXPECT_EQ(box.PulseMicros(2000000000), 500000);  // never more than half a second
  // CTS is on while the radio's own key is released.
  EXPECT_FALSE(box.RadioKeyed(true));
  EXPECT_TRUE(box.RadioKeyed(false));
}

// The S-meter's scale: strength x (adjust + 32768) / 32768 - offset, what passes 127 (or wraps
// below 0) reads as nothing.
TEST(KvrBox, StrengthScaleWrapsToNothing) {
  const auto& box = station::KvrBox();
  struct Case {
    uint8_t strength;
    int32_t adjust, offset;
    uint8_t s;
  } cases[] = {{100, 0, 0, 100},    {127, 0, 0, 127},     {128, 0, 0, 0},      {100, 32768, 0, 0},
               {60, 32768, 0, 120}, {100, -16384, 0, 50}, {10, 0, 20, 0},      {50, 0, -10, 60},
               {255, -32768, 0, 0}, {99, -16384, 49, 0},  {99, -16384, 48, 1}, {3, 0, 3, 0}};
  for (const Case& c : cases)
    EXPECT_EQ(box.ScaleStrength(c.strength, c.adjust, c.offset), c.s)
        << int(c.strength) << " " << c.adjust << " " << c.offset;
}

TEST(KvrBox, FramesAreTakenOnlyWhereABatchEndsOnOne) {
  const auto& box = station::KvrBox();
  struct Case {
    std::vector<std::vector<uint8_t>> batches;
    std::vector<bool> taken;
    uint8_t s, key;
  };
  const Case cases[] = {
      {{{0xAA, 40, 0}}, {true}, 40, 0},
      {{{0xAA}, {50, 7}}, {false, true}, 50, 7},
      {{{1, 2, 0xAA, 60, 121}}, {true}, 60, 121},    // garbage before the sync byte
      {{{0xAA, 1, 2, 0xAA, 70}}, {false}, 70, 2},    // ends inside the next frame
      {{{0xAA, 1, 2, 0xAA, 70, 3}}, {true}, 70, 3},  // two in one batch count once
      {{{}, {0xAA, 9, 9}}, {false, true}, 9, 9},
  };
  for (const Case& c : cases) {
    std::array<uint8_t, 3> buf{};
    int32_t len = 0;
    for (size_t i = 0; i < c.batches.size(); ++i)
      EXPECT_EQ(box.Assemble(c.batches[i].data(), int(c.batches[i].size()), buf, len), c.taken[i]);
    EXPECT_EQ(box.Strength(buf), c.s);
    EXPECT_EQ(box.Key(buf), c.key);
  }
  std::array<uint8_t, 3> buf{};
  int32_t len = 99;  // a length from elsewhere starts over
  const uint8_t frame[] = {0xAA, 5, 6};
  EXPECT_TRUE(box.Assemble(frame, 3, buf, len));
}

}  // namespace
