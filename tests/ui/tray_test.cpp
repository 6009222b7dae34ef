// The tray icon under a real system tray (trayer on Xvfb) with a live
// machine: the icon is docked in the tray, a right click on it opens the
// tray menu on the screen, and its unmount submenu lists the mounted images.
#include <QApplication>
#include <QMenu>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include "platform/ui/shellapi.h"
#include "tests/ui/live_fixture.h"
#include "tests/ui/x_desktop.h"

using namespace tarn::ui::testing;

namespace {

// Menus go to Qt's real ones; anything else that would wait for a person
// is answered at once and recorded.
class RealMenusSeam : public tarn::ui::UiSeam {
 public:
  explicit RealMenusSeam(tarn::ui::UiSeam& real) : m_real(real) {}
  int MessageBox(HWND, const std::string& text, const std::string&, UINT) override {
    unexpected.push_back(text);
    return IDCANCEL;
  }
  int FileDialog(HWND, const tarn::ui::FileDialogRequest&, std::string*) override { return IDCANCEL; }
  UINT TrackPopupMenu(const MenuData& menu, POINT at, HWND owner) override {
    ++menusTracked;
    return m_real.TrackPopupMenu(menu, at, owner);
  }
  INT_PTR ShellExecute(HWND, const std::string&, const std::string&, const std::string&) override { return 2; }

  int menusTracked = 0;
  std::vector<std::string> unexpected;

 private:
  tarn::ui::UiSeam& m_real;
};

struct MenuSeen {
  bool open = false;
  bool onScreen = false;
  std::vector<std::string> items;
  std::vector<std::string> unmountItems;
};

// Reads the first menu that is shown on the screen, then closes it as a
// person would with Escape.
class MenuWatch : public QObject {
 public:
  explicit MenuWatch(MenuSeen& seen) : m_seen(seen) {}
  bool eventFilter(QObject* object, QEvent* event) override {
    auto* menu = qobject_cast<QMenu*>(object);
    if (!menu || event->type() != QEvent::Show || m_seen.open) return false;
    m_seen.open = true;
    for (QAction* action : menu->actions()) {
      m_seen.items.push_back(action->text().toStdString());
      if (action->menu())
        for (QAction* sub : action->menu()->actions()) m_seen.unmountItems.push_back(sub->text().toStdString());
    }
    m_seen.onScreen = menu->windowHandle() != nullptr && !menu->geometry().isEmpty();
    QPointer<QMenu> guarded(menu);
    QTimer::singleShot(0, [guarded] {
      if (!guarded) return;
      QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QApplication::sendEvent(guarded, &escape);
    });
    // Should Escape not close it, the test must still go on.
    QTimer::singleShot(3000, [guarded] {
      if (guarded) guarded->close();
    });
    return false;
  }

 private:
  MenuSeen& m_seen;
};

class LiveTray : public LiveWindowTest {
 protected:
  void SetUp() override {
    if (!DesktopMissing().empty()) GTEST_SKIP() << "no desktop with a system tray: " << DesktopMissing();
    LiveWindowTest::SetUp();
    tarn::ui::SetUiSeam(nullptr);
    realMenus_ = std::make_unique<RealMenusSeam>(tarn::ui::CurrentUiSeam());
    tarn::ui::SetUiSeam(realMenus_.get());
  }
  void TearDown() override {
    LiveWindowTest::TearDown();
    tarn::ui::SetUiSeam(nullptr);
  }
  std::unique_ptr<RealMenusSeam> realMenus_;

  // The widget Qt docks into the X tray for an icon.
  static QWidget* TrayIconWidget() {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (std::string(w->metaObject()->className()) == "QSystemTrayIconSys") return w;
    return nullptr;
  }

  // Docked: the tray has taken the icon's window as its child (taken as
  // so when xwininfo cannot tell).
  static bool Docked(QWidget* icon) {
    static const unsigned long root = XRootWindow();
    if (root == 0) return true;
    const unsigned long parent = XParentWindow(icon->winId());
    return parent != 0 && parent != root;
  }

  // Qt docks the icon and docks it afresh (a new widget) once the tray has
  // announced itself; waits until the icon is docked and stays the same
  // widget over some turns of the event loop. Null when it never settles.
  static QWidget* SettledIcon() {
    QPointer<QWidget> last;
    int quiet = 0;
    WaitFor([&] {
      QWidget* now = TrayIconWidget();
      if (!now || now != last.data() || !now->isVisible() || !Docked(now)) {
        last = now;
        quiet = 0;
        return false;
      }
      return ++quiet >= 20;
    });
    return quiet >= 20 ? last.data() : nullptr;
  }

  // Right-clicks the icon and reads the menu that opens, then closes it.
  MenuSeen RightClickIcon() {
    MenuSeen seen;
    QWidget* icon = SettledIcon();
    if (!icon) return seen;
    MenuWatch watch(seen);
    qApp->installEventFilter(&watch);
    const int tracked = realMenus_->menusTracked;
    const QPointF at(4, 4);
    QMouseEvent press(QEvent::MouseButtonPress, at, icon->mapToGlobal(at), Qt::RightButton, Qt::RightButton,
                      Qt::NoModifier);
    QApplication::sendEvent(icon, &press);
    WaitFor([&] { return realMenus_->menusTracked > tracked; });
    Settle();
    qApp->removeEventFilter(&watch);
    return seen;
  }
};

TEST_F(LiveTray, IconDocksInTheTrayAndItsMenuListsTheMountedImages) {
  ASSERT_TRUE(tarn::ui::TrayIconShown(dialog_->GetSafeHwnd(), 100)) << "the icon is added at start";
  ASSERT_NE(SettledIcon(), nullptr) << "the icon was never docked in the tray";

  MenuSeen plain = RightClickIcon();
  ASSERT_TRUE(plain.open) << "no menu opened on a right click";
  EXPECT_TRUE(plain.onScreen);
  EXPECT_EQ(plain.items.size(), 8u) << ::testing::PrintToString(plain.items);
  EXPECT_TRUE(plain.unmountItems.empty());

  const std::string image = root_ + "/tray.img";
  ASSERT_EQ(Ctl({"create-image", image, "--size", "8"}).status, 0);
  const auto mounted = Ctl({"mount", image});
  ASSERT_EQ(mounted.status, 0) << mounted.output;
  const size_t at = mounted.output.find("Mount success: ");
  ASSERT_NE(at, std::string::npos) << mounted.output;
  const char letter = mounted.output[at + 15];

  MenuSeen withImage = RightClickIcon();
  ASSERT_TRUE(withImage.open);
  EXPECT_EQ(withImage.items.size(), 10u) << ::testing::PrintToString(withImage.items);
  EXPECT_TRUE(LiveWindowTest::Has(withImage.items, "&Unmount Drives")) << ::testing::PrintToString(withImage.items);
  EXPECT_EQ(withImage.unmountItems, std::vector<std::string>{std::string("Unmount  ") + letter + ":(" + image + ")"});
  EXPECT_TRUE(realMenus_->unexpected.empty()) << ::testing::PrintToString(realMenus_->unexpected);
}

}  // namespace
