// The front as the operator sees it: how each instrument of the window is set up, and that no
// text of the display is cut by its control, with the fonts the setup installs.
#include <QFontMetrics>

#include "tests/app/StationFixture.h"

using namespace stationtest;

namespace {

TEST_F(Station, InstrumentsAreSetUpAsTheRadioFront) {
  TMain& m = Start();
  // The S-meter: 281 x 136, lowered outside and raised inside around the picture, linear over
  // 90 dB, a blank bold red caption so that nothing stands on the picture.
  EXPECT_EQ(m.SMeter->size(), QSize(281, 136));
  EXPECT_EQ(m.SMeter->GetBevel().GetBevelOuter(), controls::bvLowered);
  EXPECT_EQ(m.SMeter->GetBevel().GetBevelInner(), controls::bvRaised);
  EXPECT_EQ(m.SMeter->GetBevel().TotalWidth(), 2);
  EXPECT_EQ(m.SMeter->GetSensitivy(), -90);
  EXPECT_EQ(m.SMeter->GetNeedleOffset(), 46);
  EXPECT_EQ(m.SMeter->GetNeedleWidth(), 2);
  EXPECT_EQ(m.SMeter->GetCaption(), "  ");
  EXPECT_EQ(m.SMeter->GetFontColor(), controls::clRed);
  EXPECT_TRUE(m.SMeter->font().bold());
  EXPECT_EQ(m.SMeter->font().pixelSize(), 16);
  // The recording lamp: 15 x 10, grey when dark, red when lit, dark at start.
  EXPECT_EQ(m.RecLED->size(), QSize(15, 10));
  EXPECT_EQ(m.RecLED->GetColor(), controls::clGray);
  EXPECT_EQ(m.RecLED->GetLEDColor(), controls::clRed);
  EXPECT_FALSE(m.RecLED->GetEnabled());
  for (controls::TMMBorder* b : m.MMBorder) {
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->GetColor(), 11849159u);
    EXPECT_EQ(b->GetBevel().GetBevelOuter(), controls::bvRaised);
    EXPECT_EQ(b->GetBevel().GetBevelInner(), controls::bvLowered);
    EXPECT_EQ(b->GetBevel().TotalWidth(), 4);
  }
  for (controls::TMMCustomWheel* w : std::initializer_list<controls::TMMCustomWheel*>{
           m.Squelch, m.FreeLevel, m.LineOut, m.Volume, m.Mic, m.CD, m.LineIn}) {
    EXPECT_EQ(w->GetRadius(), 12);
    EXPECT_EQ(w->GetScaleMargin(), 1);
    EXPECT_TRUE(w->GetScale().GetVisible());
    EXPECT_EQ(w->GetScale().GetTickCount(), 11);
    EXPECT_EQ(w->GetScale().GetEnlargeEvery(), 5);
  }
  // Channel and frequency: italic, not bold, in the family that stands in for Arial.
  for (QLabel* l : {m.K_Anzeige, m.F_Anzeige}) {
    EXPECT_TRUE(l->font().italic());
    EXPECT_FALSE(l->font().bold());
  }
  EXPECT_EQ(m.K_Anzeige->font().pixelSize(), 64);
  EXPECT_EQ(m.F_Anzeige->font().pixelSize(), 29);
}

TEST_F(Station, TheBoxLinkIsSetUpAsTheBoxSpeaks) {
  TMain& m = Start();
  // 4800 baud, 8 data bits, no parity, 2 stop bits: the box's UART. One stop bit alone would
  // pass a real box (a receiver checks only the first), so the setting itself is pinned here.
  EXPECT_EQ(m.RS232->BaudRate(), comm::br4800);
  EXPECT_EQ(m.RS232->Databits(), comm::da8);
  EXPECT_EQ(m.RS232->Parity(), comm::paNone);
  EXPECT_EQ(m.RS232->Stopbits(), comm::sb20);
}

TEST_F(Station, LongestDisplayTextsFitTheirControls) {
  TMain& m = Start();
  // Each text with its ink box (italic glyphs lean out of their advance) inside its control.
  struct {
    QLabel* label;
    QString text;
  } cases[] = {
      {m.K_Anzeige, "88"},      {m.K_Anzeige, "40"},      {m.K_Anzeige, "72"},
      {m.F_Anzeige, "27.995 "}, {m.F_Anzeige, "26.565 "}, {m.WaveName, "20261207100942"},
      {m.WavTime, "00:00.000"},
  };
  for (const auto& c : cases) {
    const QFontMetrics fm(c.label->font());
    const QRect ink = fm.boundingRect(c.text);
    const QRect room = c.label->contentsRect();
    EXPECT_LE(ink.width() + 2, room.width()) << c.text.toStdString();
    if (c.label->alignment() & Qt::AlignRight) {
      // Right-aligned, the advance ends at the edge; an italic glyph may lean past it.
      const int inkRight = room.right() - fm.horizontalAdvance(c.text) + ink.right() + 1;
      EXPECT_LE(inkRight, c.label->rect().right()) << c.text.toStdString();
    }
    EXPECT_LE(fm.height(), room.height() + 2) << c.text.toStdString();
  }
}

}  // namespace
