// The label control: background, flashing, gradient bands, links.
#include <gtest/gtest.h>

#include <QImage>
#include <QPalette>
#include <QWidget>

#include "app/label.h"
#include "platform/ui/scripted_ui_seam.h"
#include "tests/ui/qt_environment.h"
#include "tests/ui/recording_window.h"

using tarn::ui::testing::RecordingWindow;
using tarn::ui::testing::Settle;

namespace {

class LabelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parent_.GetQWidget()->resize(200, 100);
    QPalette palette = parent_.GetQWidget()->palette();
    palette.setColor(QPalette::Window, QColor(200, 0, 0));
    parent_.GetQWidget()->setPalette(palette);
    parent_.GetQWidget()->setAutoFillBackground(true);
    parent_.ShowWindow(SW_SHOW);
    ASSERT_TRUE(label_.CreateEx(0, WS_CHILD | WS_VISIBLE, RECT{10, 10, 110, 40}, &parent_, 1060));
  }
  QColor PixelAt(int x, int y) { return parent_.GetQWidget()->grab().toImage().pixelColor(x, y); }

  tarn::ui::ScriptedUiSeam seam_;
  RecordingWindow parent_;
  CLabel label_;
};

TEST_F(LabelTest, TransparentLabelLetsTheParentShowAndOpaqueOnePaintsItsColour) {
  EXPECT_TRUE(label_.IsTransparent());
  EXPECT_EQ(PixelAt(100, 35), QColor(200, 0, 0));
  label_.SetTransparent(FALSE).SetBkColor(RGB(0, 0, 255));
  EXPECT_EQ(PixelAt(100, 35), QColor(0, 0, 255));
  EXPECT_EQ(PixelAt(150, 35), QColor(200, 0, 0)) << "nothing outside the label";
}

TEST_F(LabelTest, GradientRunsFromLeftToRightColourInBands) {
  for (auto [width, bands] : {std::pair{40, 40}, {100, 100}, {250, 100}, {1, 1}, {0, 0}})
    EXPECT_EQ(CLabel::GradientBands(width), bands) << width;
  label_.SetTransparent(FALSE).SetBkColor(RGB(0, 0, 0), RGB(200, 0, 0), TRUE);
  EXPECT_EQ(PixelAt(10, 35).red(), 0);
  EXPECT_GT(PixelAt(108, 35).red(), 190);
  EXPECT_LT(PixelAt(60, 35).red(), PixelAt(90, 35).red());
}

TEST_F(LabelTest, FlashingTextAlternatesOnTheTimerAndStopsWhenTurnedOff) {
  label_.SetTextColor(RGB(1, 2, 3)).SetTransparent(FALSE).SetBkColor(RGB(9, 9, 9));
  label_.FlashText(TRUE);
  EXPECT_TRUE(label_.HasTimer(1));
  EXPECT_EQ(label_.EffectiveTextColor(), RGB(9, 9, 9)) << "starts hidden in the background colour";
  label_.SendMessage(WM_TIMER, 1, 0);
  EXPECT_EQ(label_.EffectiveTextColor(), RGB(1, 2, 3));
  label_.SendMessage(WM_TIMER, 1, 0);
  EXPECT_EQ(label_.EffectiveTextColor(), RGB(9, 9, 9));
  label_.FlashText(FALSE);
  EXPECT_FALSE(label_.HasTimer(1));
  EXPECT_EQ(label_.GetFlashMode(), CLabel::FlashNone);
  EXPECT_EQ(label_.EffectiveTextColor(), RGB(1, 2, 3));
  // Switching to background flashing replaces the text flashing.
  label_.FlashText(TRUE).FlashBackground(TRUE);
  EXPECT_EQ(label_.GetFlashMode(), CLabel::FlashModeBackground);
  EXPECT_TRUE(label_.HasTimer(1));
  EXPECT_EQ(label_.EffectiveTextColor(), RGB(1, 2, 3));
}

TEST_F(LabelTest, ClickOpensTheLinkOrTellsTheParentButNeverBoth) {
  label_.SetText("support@example.org");
  label_.SendMessage(WM_LBUTTONDOWN, 0, 0);
  EXPECT_TRUE(seam_.shellOpened.empty()) << "a plain label opens nothing";

  label_.SetLink(TRUE, FALSE);
  label_.SendMessage(WM_LBUTTONDOWN, 0, 0);
  EXPECT_TRUE(seam_.shellOpened.empty()) << "a web link without a target opens nothing";
  label_.SetLinkTarget("https://example.org/");
  label_.SendMessage(WM_LBUTTONDOWN, 0, 0);
  ASSERT_EQ(seam_.shellOpened.size(), 1u);
  EXPECT_EQ(seam_.shellOpened[0], "open Explorer https://example.org/");
  EXPECT_TRUE(label_.GetStyle() & SS_NOTIFY);

  label_.SetMailLink(TRUE, FALSE);
  label_.SendMessage(WM_LBUTTONDOWN, 0, 0);
  ASSERT_EQ(seam_.shellOpened.size(), 2u);
  EXPECT_EQ(seam_.shellOpened[1], "open mailto:support@example.org");

  label_.SetMailLink(TRUE, TRUE);
  label_.SendMessage(WM_LBUTTONDOWN, 0, 0);
  EXPECT_EQ(seam_.shellOpened.size(), 2u);
  ASSERT_FALSE(parent_.received.empty());
  EXPECT_EQ(parent_.received.back().msg, static_cast<UINT>(WM_NOTIFY));
  EXPECT_EQ(parent_.received.back().wParam, 1060u);

  label_.SetLink(FALSE, FALSE);
  EXPECT_FALSE(label_.GetStyle() & SS_NOTIFY);
}

TEST_F(LabelTest, SettersChainAndRecordTheFont) {
  label_.SetFontBold(TRUE).SetFontItalic(TRUE).SetFontUnderline(TRUE).SetFontSize(12).SetRotationAngle(90);
  const LOGFONTA& font = label_.GetLogFont();
  EXPECT_EQ(font.lfWeight, 700);
  EXPECT_EQ(font.lfItalic, 1);
  EXPECT_EQ(font.lfUnderline, 1);
  EXPECT_EQ(font.lfHeight, -16);
  EXPECT_EQ(font.lfEscapement, 900);
  EXPECT_EQ(font.lfOrientation, 900);
  label_.SetSunken(TRUE).SetBorder(TRUE);
  EXPECT_TRUE(label_.GetExStyle() & WS_EX_STATICEDGE);
  EXPECT_TRUE(label_.GetStyle() & WS_BORDER);
  label_.SetSunken(FALSE).SetBorder(FALSE);
  EXPECT_FALSE(label_.GetExStyle() & WS_EX_STATICEDGE);
  EXPECT_FALSE(label_.GetStyle() & WS_BORDER);
}

}  // namespace
