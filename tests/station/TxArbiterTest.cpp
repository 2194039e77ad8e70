// The transmit arbiter against a model of its holds: seeded random holds and releases from every
// source, with the invariants checked after each step.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "station/TxArbiter.h"

using station::TTxArbiter;
using station::TTxHold;
using station::TTxSource;

namespace {

constexpr TTxSource kSources[] = {TTxSource::Operator, TTxSource::Radio, TTxSource::Client,
                                  TTxSource::File, TTxSource::Remote};

TEST(TxArbiter, RandomHoldsFromEverySourceFollowTheModel) {
  int steps = 0;
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto roll = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
    TTxArbiter a;
    std::set<std::pair<int, int>> model;  // (source, id) held
    std::set<std::pair<int, int>> own;    // of those, the ones that want own sound
    bool accepting = true;
    int changes = 0;
    a.OnChange = [&](const TTxHold&, bool) { ++changes; };
    // The model's side of ending every hold but the radio's: how many ended.
    auto dropStation = [&] {
      int n = 0;
      for (auto it = model.begin(); it != model.end();) {
        if (it->first == static_cast<int>(TTxSource::Radio)) {
          ++it;
          continue;
        }
        own.erase(*it);
        it = model.erase(it);
        ++n;
      }
      return n;
    };
    for (int i = 0; i < 400; ++i, ++steps) {
      const TTxSource s = kSources[roll(5)];
      const int id = roll(3);
      const std::pair<int, int> key{static_cast<int>(s), id};
      const int before = changes;
      switch (roll(7)) {
        case 0:
        case 1:
        case 2: {
          const bool ownSound = roll(2) == 0;
          const bool ok = a.Hold(s, id, ownSound);
          const bool accepted = accepting || s == TTxSource::Radio;
          ASSERT_EQ(ok, accepted);
          if (!accepted) {
            EXPECT_EQ(changes, before);
            break;
          }
          const bool changed = !model.count(key) || own.count(key) != size_t(ownSound);
          EXPECT_EQ(changes - before, changed ? 1 : 0);
          model.insert(key);
          ownSound ? (void)own.insert(key) : (void)own.erase(key);
          break;
        }
        case 3:
        case 4:
          a.Release(s, id);
          EXPECT_EQ(changes - before, int(model.erase(key)));
          own.erase(key);
          break;
        case 5: {
          const int n = a.ReleaseStation();
          const int expected = dropStation();
          EXPECT_EQ(n, expected);
          EXPECT_EQ(changes - before, expected);
          break;
        }
        default:
          accepting = !accepting;
          a.SetAccepting(accepting);
          if (!accepting) dropStation();
          break;
      }
      // Invariants: exactly the model's holds; Held and OwnSound ignore the radio's own PTT.
      ASSERT_EQ(a.Holds().size(), model.size());
      bool stationHeld = false, stationOwn = false;
      for (auto [src, hid] : model) {
        EXPECT_TRUE(a.Holds(static_cast<TTxSource>(src), hid));
        if (src == static_cast<int>(TTxSource::Radio)) continue;
        stationHeld = true;
        stationOwn = stationOwn || own.count({src, hid});
      }
      ASSERT_EQ(a.Held(), stationHeld);
      ASSERT_EQ(a.OwnSound(), stationOwn);
      ASSERT_EQ(a.First() != nullptr, stationHeld);
      if (!accepting) {
        ASSERT_FALSE(a.Held());
      }
    }
  }
  RecordProperty("steps", steps);
}

TEST(TxArbiter, FirstIsTheOldestStationHold) {
  TTxArbiter a;
  a.Hold(TTxSource::Radio);
  a.Hold(TTxSource::Client, 7);
  a.Hold(TTxSource::Operator);
  ASSERT_NE(a.First(), nullptr);
  EXPECT_EQ(a.First()->Source, TTxSource::Client);
  a.Release(TTxSource::Client, 8);  // another client: nothing
  EXPECT_EQ(a.First()->Source, TTxSource::Client);
  a.ReleaseAll(TTxSource::Client);
  EXPECT_EQ(a.First()->Source, TTxSource::Operator);
  EXPECT_STREQ(station::TxSourceText(TTxSource::Radio), "Funkgerät (CTS)");
  EXPECT_STREQ(station::TxSourceText(TTxSource::File), "Datei");
}

}  // namespace
