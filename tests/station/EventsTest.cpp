// The event bus: subscribers that come and go while an event is being published.
#include <gtest/gtest.h>

#include <string>

#include "station/Events.h"

using station::TEventKind;
using station::TStationEvent;

namespace {

TEST(EventBus, SubscribersMayComeAndGoWhileAnEventIsPublished) {
  station::TEventBus bus;
  std::string heard;
  int b = 0, late = 0;
  const int a = bus.Subscribe([&](const TStationEvent& e) {
    heard += "a" + e.Text;
    bus.Unsubscribe(b);  // a later subscriber removed: it hears nothing more
    if (!late) late = bus.Subscribe([&](const TStationEvent& x) { heard += "l" + x.Text; });
  });
  b = bus.Subscribe([&](const TStationEvent& e) { heard += "b" + e.Text; });
  const int c = bus.Subscribe([&](const TStationEvent& e) {
    heard += "c" + e.Text;
    bus.Unsubscribe(a);  // itself or an earlier one: the current round goes on
  });
  TStationEvent ev(TEventKind::Message);
  ev.Text = "1";
  bus.Publish(ev);
  EXPECT_EQ(heard, "a1c1");
  EXPECT_EQ(bus.Subscribers(), 2u);  // c and the late one
  ev.Text = "2";
  bus.Publish(ev);
  EXPECT_EQ(heard, "a1c1c2l2");
  bus.Unsubscribe(c);
  bus.Unsubscribe(late);
  bus.Unsubscribe(12345);  // unknown: nothing
  EXPECT_EQ(bus.Subscribers(), 0u);
}

}  // namespace
