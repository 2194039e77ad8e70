// A page's voice on the air, on the virtual card in manual pacing and the manual clock: the
// player's play-out after a release (never cut short, never past its bound), the drop of late
// voice, the cut that leaves nothing to play later, and a page whose clock runs fast.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstring>
#include <random>
#include <set>

#include "app/RemoteVoice.h"
#include "platform/MMTimer.h"
#include "platform/wave/VirtualCard.h"
#include "tests/support/QtApp.h"

using app::RemoteVoicePlayer;
namespace wave = platform::wave;

namespace {

// Samples that are never zero, so what the card played can be told from its silence.
std::vector<int16_t> Voice(size_t n, int first = 1) {
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<int16_t>(first + int(i % 20000));
  return v;
}

class RemoteVoiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testsupport::EnsureQtApplication<QCoreApplication>(); }
  void SetUp() override { wave::SetWaveBackend(card_); }
  void TearDown() override { wave::SetWaveBackend(nullptr); }

  // `ms` of card and clock, the player's timer every 10 ms.
  void Run(int ms, bool cardRuns = true) {
    for (int t = 0; t < ms; t += 10) {
      if (cardRuns) card_->AdvanceMs(10);
      time_->Advance(10);
      player_.Tick();
    }
  }
  // What the card played, without the silence around it.
  std::vector<int16_t> Heard() const {
    const auto bytes = card_->Sink().Bytes();
    std::vector<int16_t> all(bytes.size() / 2);
    std::memcpy(all.data(), bytes.data(), all.size() * 2);
    std::vector<int16_t> voice;
    for (int16_t x : all)
      if (x != 0) voice.push_back(x);
    return voice;
  }
  void Play(const std::vector<int16_t>& v, int session = 7) {
    player_.Play(session, v.data(), v.size());
  }

  platform::ScopedManualTime time_;
  std::shared_ptr<wave::TVirtualSoundCard> card_ =
      std::make_shared<wave::TVirtualSoundCard>(1, 1, wave::TVirtualSoundCard::Pacing::Manual);
  std::set<int> held_{7};
  RemoteVoicePlayer player_{[this](int s) { return held_.count(s) > 0; }};
  int done_ = 0;
  std::function<void()> Done() {
    return [this] { ++done_; };
  }
};

}  // namespace

TEST_F(RemoteVoiceTest, AReleasePlaysOutWhatCameAndNothingAfterIt) {
  ASSERT_EQ(player_.Start(7, 0), 0);
  const auto said = Voice(4410);  // 100 ms
  // Less than the cushion: it waits.
  Play(std::vector<int16_t>(said.begin(), said.begin() + 1000));
  Run(50);
  EXPECT_TRUE(Heard().empty());
  Play(std::vector<int16_t>(said.begin() + 1000, said.end()));
  // Behind the silence the card already holds (kBuffers of 10 ms).
  Run(50);
  EXPECT_FALSE(Heard().empty());
  player_.Release(7, Done());
  Play(Voice(4410, 30000));  // after the release: dropped
  EXPECT_EQ(done_, 0) << "the last words are still to be played";
  int ms = 0;
  while (done_ == 0 && ms < 1000) {
    Run(10);
    ms += 10;
  }
  EXPECT_EQ(done_, 1);
  EXPECT_LE(ms, 100) << "held no longer than the rest of the voice takes";
  EXPECT_FALSE(player_.IsOpen());
  EXPECT_EQ(card_->OpenStreams(), 0);
  EXPECT_EQ(Heard(), said) << "every sample, in order, none after the release";
  EXPECT_EQ(player_.Dropped(), 4410);
  // A release with nothing to play lets go at once.
  ASSERT_EQ(player_.Start(7, 0), 0);
  player_.Release(7, Done());
  EXPECT_EQ(done_, 2);
}

TEST_F(RemoteVoiceTest, APlayOutThatCannotFinishEndsAtItsBound) {
  ASSERT_EQ(player_.Start(7, 0), 0);
  Play(Voice(44100 / 5));
  player_.Release(7, Done());
  // The card stands still (a stalled sound server): the hold ends by the clock.
  Run(RemoteVoicePlayer::kDrainMs - 10, false);
  EXPECT_EQ(done_, 0);
  Run(10, false);
  EXPECT_EQ(done_, 1);
  EXPECT_EQ(card_->OpenStreams(), 0);
}

TEST_F(RemoteVoiceTest, ACutOrTheStationLettingGoLeavesNothingToPlayLater) {
  for (int how = 0; how < 3; ++how) {
    SCOPED_TRACE(how);
    card_->Sink().Clear();
    held_ = {7};
    done_ = 0;
    ASSERT_EQ(player_.Start(7, 0), 0);
    Play(Voice(44100 / 2));
    Run(60);
    ASSERT_FALSE(Heard().empty());
    if (how == 0) {
      player_.Cut(7);  // the page went without letting go
    } else if (how == 1) {
      player_.Release(7, Done());  // let go, then the socket broke
      player_.Cut(7);
      EXPECT_EQ(done_, 1) << "the pending release ends at once";
    } else {
      held_.clear();  // the station's time-out
      player_.Tick();
    }
    EXPECT_FALSE(player_.IsOpen());
    const size_t heard = card_->Sink().Size();
    Play(Voice(4410));
    Run(500);
    EXPECT_EQ(card_->Sink().Size(), heard) << "nothing after the cut";
    // Its release, which follows, lets go at once.
    player_.Release(7, Done());
    EXPECT_EQ(done_, how == 1 ? 2 : 1);
  }
}

TEST_F(RemoteVoiceTest, APressDuringThePlayOutKeepsTheHoldAndAnotherPageEndsTheFirst) {
  ASSERT_EQ(player_.Start(7, 0), 0);
  Play(Voice(4410));
  player_.Release(7, Done());
  ASSERT_EQ(player_.Start(7, 0), 0);
  EXPECT_FALSE(player_.Releasing());
  Play(Voice(4410, 9000));
  Run(400);
  EXPECT_EQ(done_, 0);
  EXPECT_EQ(Heard().size() + size_t(player_.Dropped()), 2 * 4410u) << "all but the catch-up";
  player_.Release(7, Done());
  held_.insert(8);
  Play(Voice(8820));
  ASSERT_EQ(player_.Start(8, 0), 0);
  EXPECT_EQ(done_, 1) << "the first page's hold ends";
  Play(Voice(100), 7);
  EXPECT_EQ(player_.Session(), 8);
}

TEST_F(RemoteVoiceTest, APageWhoseClockRunsFastStaysCloseBehindForMinutes) {
  // 1 % more voice than the card plays, in 20 ms frames, for ten minutes.
  ASSERT_EQ(player_.Start(7, 0), 0);
  const auto frame = Voice(891);  // 882 * 1.01
  size_t most = 0;
  for (int t = 0; t < 10 * 60 * 1000; t += 20) {
    Play(frame);
    Run(20);
    if (t > 1000) most = std::max(most, player_.Queued());
  }
  EXPECT_LT(most, size_t(44100 * 150 / 1000)) << "behind by at most 150 ms";
  EXPECT_EQ(player_.Underruns(), 0);
  // The surplus went, a sample at a time (a jump needs 400 ms behind).
  EXPECT_NEAR(double(player_.Dropped()), 9 * 30000.0, 44100 * 0.15);
}

TEST_F(RemoteVoiceTest, AJitteryLinkRunsDryAFewTimesAtMostThenPlaysWhole) {
  // 20 ms frames that each come up to `jitter` ms late, in order (one socket), for ten seconds
  // per transmission; three transmissions per page, pages on seeded links.
  const auto talk = [&](std::mt19937& rng, int session, int jitter) {
    EXPECT_EQ(player_.Start(session, 0), 0);
    std::uniform_int_distribution<int> late(0, jitter);
    int64_t due = 0;
    std::vector<int64_t> arrives;
    for (int i = 0; i < 500; ++i)
      arrives.push_back(due = std::max<int64_t>(due, i * 20 + late(rng)));
    size_t next = 0;
    for (int t = 0; next < arrives.size(); t += 10) {
      for (; next < arrives.size() && arrives[next] <= t; ++next) Play(Voice(882, 1), session);
      Run(10);
    }
    player_.Release(session, Done());
    Run(RemoteVoicePlayer::kDrainMs);
    EXPECT_FALSE(player_.IsOpen());
  };
  const size_t step = RemoteVoicePlayer::kCushionStep;
  for (int seed = 1; seed <= 8; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    held_ = {seed};
    const int64_t dry0 = player_.Underruns();
    for (int n = 0; n < 3; ++n) {
      const int64_t before = player_.Underruns();
      const size_t cushion = n == 0 ? RemoteVoicePlayer::kPrimeFrames : player_.Cushion();
      talk(rng, seed, 130);
      const auto dry = size_t(player_.Underruns() - before);
      // One step wider per dry run; a clean transmission takes one back.
      EXPECT_EQ(player_.Cushion(), dry ? cushion + dry * step
                                       : std::max(cushion - step, RemoteVoicePlayer::kPrimeFrames));
    }
    EXPECT_LE(player_.Underruns() - dry0, 6) << "each dry run widens the cushion";
  }
  EXPECT_LT(player_.Dropped(), 8 * 3 * 500 * 882 / 100) << "late voice is played, not jumped";
  EXPECT_EQ(Heard().size() + size_t(player_.Dropped()), 8 * 3 * 500 * 882u) << "all went";
  // A page on a calm link, after all those: it starts small and never runs dry.
  held_ = {99};
  std::mt19937 rng(0);
  const int64_t dry = player_.Underruns();
  talk(rng, 99, 0);
  EXPECT_EQ(player_.Underruns(), dry);
  EXPECT_EQ(player_.Cushion(), RemoteVoicePlayer::kPrimeFrames);
}
