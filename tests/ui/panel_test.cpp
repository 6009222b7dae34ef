// The navigation panel: hot tracking, clicks, collapsing, styles, scrolling.
#include <gtest/gtest.h>

#include <QWidget>

#include "app/direct_ui.h"
#include "app/picture.h"
#include "tests/ui/qt_environment.h"
#include "tests/ui/recording_window.h"

using tarn::ui::testing::RecordingWindow;
using tarn::ui::testing::Settle;

namespace {

LPARAM At(int x, int y) { return MAKELPARAM(x, y); }
POINT Centre(const RECT& r) { return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }

class PanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AfxSetMainWnd(&main_);
    host_.CreateEx(0, WS_POPUP, RECT{0, 0, 220, 600}, nullptr, 0);
    host_.ShowWindow(SW_SHOW);
    ASSERT_TRUE(panel_.Create(RECT{0, 0, 200, 500}, &host_, 1000));
    int g = panel_.AddGroup("Operations");
    panel_.AddItem(g, "Refresh", 1034);
    panel_.AddItem(g, "Physical Disk", 1040);
    int d = panel_.AddGroup("Disk Encryption");
    panel_.AddItem(d, "c: Normal", 2099);
    ASSERT_TRUE(tarn::ui::testing::RunUntil([this] { return host_.GetQWidget()->isVisible(); }));
    Settle();
    Paint();
  }
  void TearDown() override { AfxSetMainWnd(nullptr); }
  void Paint() { panel_.UpdateWindow(); }
  void Move(POINT p) {
    panel_.SendMessage(WM_MOUSEMOVE, 0, At(p.x, p.y));
    Paint();
  }
  RECT ItemRect(int group, int item) { return panel_.GetGroup(group)->Items()[static_cast<size_t>(item)]->GetRect(); }

  RecordingWindow main_;
  CWnd host_;
  CWndDirectUI panel_;
};

TEST_F(PanelTest, ItemClickPostsExactlyOneCommandOnRelease) {
  Move(Centre(ItemRect(0, 1)));
  ASSERT_EQ(panel_.GetHotItem(), panel_.GetGroup(0)->Items()[1].get());
  panel_.SendMessage(WM_LBUTTONDOWN, 0, 0);
  Settle();
  EXPECT_TRUE(main_.Commands().empty()) << "the press alone must not send the command";
  panel_.SendMessage(WM_LBUTTONUP, 0, 0);
  EXPECT_TRUE(main_.Commands().empty()) << "the command is posted, not sent";
  Settle();
  EXPECT_EQ(main_.Commands(), std::vector<UINT>{1040});
}

TEST_F(PanelTest, HeaderClickTogglesItsGroupAndHidesItsItemsFromHover) {
  POINT header = Centre(panel_.GetGroup(0)->GetHeaderRect());
  RECT item = ItemRect(0, 0);
  Move(header);
  ASSERT_EQ(panel_.GetHotGroup(), panel_.GetGroup(0));
  EXPECT_EQ(panel_.GetHotItem(), nullptr) << "a header and an item are never hot together";
  panel_.SendMessage(WM_LBUTTONDOWN, 0, 0);
  Paint();
  EXPECT_TRUE(panel_.GetGroup(0)->IsCollapsed());
  EXPECT_EQ(panel_.GetGroup(0)->GetHeight(), GetSystemMetrics(SM_CYCAPTION));
  // The spot where the item was now belongs to the next group or nothing.
  Move(Centre(item));
  EXPECT_NE(panel_.GetHotItem(), panel_.GetGroup(0)->Items()[0].get());
  Move(header);
  panel_.SendMessage(WM_LBUTTONDOWN, 0, 0);
  Paint();
  EXPECT_FALSE(panel_.GetGroup(0)->IsCollapsed());
  Settle();
  EXPECT_TRUE(main_.Commands().empty()) << "a header click is not a command";
}

TEST_F(PanelTest, DisabledItemIsNeverHotNorClicked) {
  CDirectUIItem* item = panel_.GetGroup(0)->Items()[0].get();
  Move(Centre(item->GetRect()));
  ASSERT_TRUE(item->IsHot());
  EXPECT_EQ(item->Enable(FALSE), 1);
  EXPECT_EQ(item->Enable(FALSE), 0) << "no change the second time";
  EXPECT_FALSE(item->IsHot());
  Move(POINT{0, 0});
  Move(Centre(item->GetRect()));
  EXPECT_FALSE(item->IsHot());
  EXPECT_EQ(panel_.GetHotItem(), nullptr);
  panel_.SendMessage(WM_LBUTTONDOWN, 0, 0);
  panel_.SendMessage(WM_LBUTTONUP, 0, 0);
  Settle();
  EXPECT_TRUE(main_.Commands().empty());
  // Disabled while hot: the release must not click it either.
  CDirectUIItem* other = panel_.GetGroup(0)->Items()[1].get();
  Move(Centre(other->GetRect()));
  ASSERT_TRUE(other->IsHot());
  other->Enable(FALSE);
  panel_.SendMessage(WM_LBUTTONUP, 0, 0);
  Settle();
  EXPECT_TRUE(main_.Commands().empty());
}

TEST_F(PanelTest, BadGroupOrItemIndexReturnsZeroAndChangesNothing) {
  for (int bad : {-1, 2, 100}) {
    EXPECT_EQ(panel_.AddItem(bad, "x", 1), FALSE) << bad;
    EXPECT_EQ(panel_.RemoveGroup(bad), FALSE) << bad;
    EXPECT_EQ(panel_.SetItemImage(bad, 0, 1), FALSE) << bad;
  }
  EXPECT_EQ(panel_.SetItemImage(0, 2, 1), FALSE);
  EXPECT_EQ(panel_.SetItemImage(0, -1, 1), FALSE);
  ASSERT_EQ(panel_.GetGroupCount(), 2);
  EXPECT_EQ(panel_.GetGroup(0)->Items().size(), 2u);
  EXPECT_EQ(panel_.GetGroup(1)->Items().size(), 1u);
}

TEST_F(PanelTest, RemovingTheGroupOfTheHotItemLeavesNoDanglingHotItem) {
  Move(Centre(ItemRect(1, 0)));
  ASSERT_NE(panel_.GetHotItem(), nullptr);
  EXPECT_EQ(panel_.RemoveGroup(1), TRUE);
  EXPECT_EQ(panel_.GetHotItem(), nullptr);
  panel_.SendMessage(WM_LBUTTONUP, 0, 0);
  Settle();
  EXPECT_TRUE(main_.Commands().empty());
}

TEST_F(PanelTest, StyleTwoExpandsEveryGroupAndIgnoresHeaderClicks) {
  Move(Centre(panel_.GetGroup(0)->GetHeaderRect()));
  panel_.SendMessage(WM_LBUTTONDOWN, 0, 0);
  ASSERT_TRUE(panel_.GetGroup(0)->IsCollapsed());
  panel_.SetStyle(2);
  Paint();
  EXPECT_FALSE(panel_.GetGroup(0)->IsCollapsed());
  Move(Centre(panel_.GetGroup(0)->GetHeaderRect()));
  EXPECT_EQ(panel_.GetHotGroup(), nullptr);
  panel_.SendMessage(WM_LBUTTONDOWN, 0, 0);
  Paint();
  EXPECT_FALSE(panel_.GetGroup(0)->IsCollapsed());
  // Items still work in style 2.
  Move(Centre(ItemRect(0, 0)));
  panel_.SendMessage(WM_LBUTTONUP, 0, 0);
  Settle();
  EXPECT_EQ(main_.Commands(), std::vector<UINT>{1034});
}

TEST_F(PanelTest, ScrollBarShownExactlyWhenTheGroupsDoNotFit) {
  // Content height: 10 above each group, 10 below the last.
  auto contentHeight = [this] {
    int h = 10;
    for (int i = 0; i < panel_.GetGroupCount(); ++i) h += panel_.GetGroup(i)->GetHeight() + 10;
    return h;
  };
  int needed = contentHeight();
  panel_.MoveWindow(0, 0, 200, needed);
  Paint();
  Paint();
  EXPECT_FALSE(panel_.IsScrollBarShown()) << "exactly fitting needs no scroll bar";
  panel_.MoveWindow(0, 0, 200, needed - 1);
  Paint();
  Paint();
  EXPECT_TRUE(panel_.IsScrollBarShown());
  EXPECT_EQ(panel_.GetScrollLimit(), 1);
  panel_.RemoveGroup(1);
  Paint();
  Paint();
  EXPECT_FALSE(panel_.IsScrollBarShown());
  EXPECT_EQ(panel_.GetScrollPos(), 0);
}

TEST_F(PanelTest, ScrolledPanelHitTestsInContentCoordinates) {
  for (int i = 0; i < 6; ++i) {
    int g = panel_.AddGroup("More " + std::to_string(i));
    panel_.AddItem(g, "Item", 3000 + i);
  }
  panel_.MoveWindow(0, 0, 200, 150);
  Paint();
  Paint();
  ASSERT_TRUE(panel_.IsScrollBarShown());
  panel_.SendMessage(WM_VSCROLL, SB_BOTTOM, 0);
  Paint();
  int pos = panel_.GetScrollPos();
  ASSERT_EQ(pos, panel_.GetScrollLimit());
  ASSERT_GT(pos, 0);
  panel_.SendMessage(WM_VSCROLL, SB_LINEDOWN, 0);
  EXPECT_EQ(panel_.GetScrollPos(), pos) << "never beyond the limit";
  panel_.SendMessage(WM_VSCROLL, SB_LINEUP, 0);
  EXPECT_EQ(panel_.GetScrollPos(), pos - 1);
  panel_.SendMessage(WM_VSCROLL, SB_BOTTOM, 0);
  Paint();
  int last = panel_.GetGroupCount() - 1;
  POINT content = Centre(ItemRect(last, 0));
  Move(POINT{content.x, content.y - pos});
  EXPECT_EQ(panel_.GetHotItem(), panel_.GetGroup(last)->Items()[0].get());
  panel_.SendMessage(WM_VSCROLL, SB_TOP, 0);
  EXPECT_EQ(panel_.GetScrollPos(), 0);
}

TEST(BlendColour, MovesEachChannelTowardsWhiteByTheFractionTruncated) {
  struct Case {
    COLORREF in;
    double f;
    COLORREF out;
  } cases[] = {
      {RGB(0, 0, 0), 0.5, RGB(127, 127, 127)},
      {RGB(10, 20, 30), 0.15, RGB(46, 55, 63)},
      {RGB(51, 102, 204), 1.0, RGB(255, 255, 255)},
      {RGB(51, 102, 204), 0.0, RGB(51, 102, 204)},
      {RGB(51, 102, 204), -0.2, RGB(51, 102, 204)},
      {RGB(51, 102, 204), 1.01, RGB(51, 102, 204)},
  };
  for (const Case& c : cases) EXPECT_EQ(BlendColour(c.in, c.f), c.out) << c.f;
}

}  // namespace

namespace {

TEST_F(PanelTest, CursorIsTheHandOverHotItemsAndHeadersOnly) {
  Move(Centre(ItemRect(0, 0)));
  EXPECT_EQ(panel_.SendMessage(WM_SETCURSOR, 0, 1), TRUE);
  Move(Centre(panel_.GetGroup(1)->GetHeaderRect()));
  EXPECT_EQ(panel_.SendMessage(WM_SETCURSOR, 0, 1), TRUE);
  Move(POINT{2, 2});  // the margin above the first group
  EXPECT_EQ(panel_.GetHotItem(), nullptr);
  EXPECT_EQ(panel_.GetHotGroup(), nullptr);
  EXPECT_EQ(panel_.SendMessage(WM_SETCURSOR, 0, 1), FALSE);
}

// A caption cut short to fit is shown whole under the pointer; one that fits
// needs no tip, and leaving the items clears it.
TEST_F(PanelTest, CutCaptionIsShownWholeUnderThePointer) {
  const std::string longCaption = "e: Interrupted: 37% encrypted, a caption far wider than the panel";
  panel_.AddItem(1, longCaption, 2101);
  Paint();
  Move(Centre(ItemRect(1, 1)));
  ASSERT_EQ(panel_.GetHotItem(), panel_.GetGroup(1)->Items()[1].get());
  EXPECT_EQ(panel_.GetQWidget()->toolTip().toStdString(), longCaption);
  Move(Centre(ItemRect(1, 0)));
  EXPECT_TRUE(panel_.GetQWidget()->toolTip().isEmpty());
  Move(Centre(ItemRect(1, 1)));
  Move(POINT{2, 2});
  EXPECT_TRUE(panel_.GetQWidget()->toolTip().isEmpty());
}

TEST_F(PanelTest, RemoveAllForgetsHotElementsAndSetStyleRelayoutsEveryGroup) {
  Move(Centre(ItemRect(0, 0)));
  ASSERT_NE(panel_.GetHotItem(), nullptr);
  panel_.RemoveAll();
  EXPECT_EQ(panel_.GetGroupCount(), 0);
  EXPECT_EQ(panel_.GetHotItem(), nullptr);
  panel_.SendMessage(WM_LBUTTONDOWN, 0, 0);
  panel_.SendMessage(WM_LBUTTONUP, 0, 0);
  Settle();
  EXPECT_TRUE(main_.Commands().empty());
  EXPECT_EQ(panel_.AddGroup("Again"), 0) << "indexes start over";
  panel_.AddItem(0, "One", 1);
  Paint();
  EXPECT_FALSE(panel_.GetGroup(0)->NeedsLayout());
  panel_.SetStyle(3);
  EXPECT_TRUE(panel_.GetGroup(0)->NeedsLayout());
}

TEST(PictureButton, PressTellsTheParentOnceAndLooksPushedOnlyMeanwhile) {
  RecordingWindow parent;
  CPicture picture;
  ASSERT_TRUE(picture.CreateEx(0, WS_CHILD | WS_VISIBLE | SS_NOTIFY, RECT{0, 0, 40, 16}, &parent, 1024));
  picture.SendMessage(WM_LBUTTONDOWN, 0, 0);
  EXPECT_FALSE(picture.IsPressed());
  Settle();
  ASSERT_EQ(parent.Commands(), std::vector<UINT>{1024});
  EXPECT_EQ(HIWORD(parent.received.back().wParam), STN_CLICKED);
  EXPECT_EQ(picture.SendMessage(WM_SETCURSOR, 0, 1), TRUE);
}

}  // namespace
