// The main window against the in-memory machine and service: the drive list
// in each mode, device arrival, the service watch and the page switching.
#include <gtest/gtest.h>

#include <QKeyEvent>

#include "app/about_dlg.h"
#include "app/fake_system_calls.h"
#include "app/password_dlg.h"
#include "app/resource.h"
#include "app/resources.h"
#include "app/tarn_dlg.h"
#include "platform/ui/scripted_ui_seam.h"
#include "tests/ui/qt_environment.h"

using tarn::ui::PressKey;
using tarn::ui::TypeText;
using tarn::ui::testing::RunUntil;
using tarn::ui::testing::Settle;

namespace {

using Drive = FakeSystemCalls::Drive;

struct Entry {
  std::string label;
  UINT command;
  int image;
  bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Entry& e) {
  return os << "{\"" << e.label << "\", " << e.command << ", " << e.image << "}";
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterShroudkeepResources();
    fake_.drives['c'] = FakeSystemCalls::MakeDrive(DRIVE_FIXED, 0x10000);              // plain, writable
    fake_.drives['d'] = FakeSystemCalls::MakeDrive(DRIVE_FIXED, 0x20002, "pw");        // encrypted, locked
    fake_.drives['e'] = FakeSystemCalls::MakeDrive(DRIVE_REMOVABLE, 0xC0001, "pw");    // encrypted, unlocked
    fake_.drives['f'] = FakeSystemCalls::MakeDrive(DRIVE_FIXED, 0x00000);              // plain, read-only
    fake_.drives['g'] = FakeSystemCalls::MakeDrive(DRIVE_CDROM, 0x00000);              // CD with a plain disc
    fake_.drives['h'] = FakeSystemCalls::MakeDrive(DRIVE_CDROM, 0x20002, "pw");        // CD with an encrypted disc
    fake_.drives['i'] = FakeSystemCalls::MakeDrive(DRIVE_CDROM, 0x00003);              // CD without a disc
    fake_.drives['j'] = FakeSystemCalls::MakeDrive(DRIVE_REMOTE, 0x10000);             // network drive
    fake_.drives['k'] = FakeSystemCalls::MakeDrive(DRIVE_FIXED, 0x00003);              // no file system
    dialog_ = std::make_unique<CTarnDlg>(fake_);
    AfxSetMainWnd(dialog_.get());
    ASSERT_TRUE(dialog_->Create(IDD_MAIN, nullptr));
  }
  void TearDown() override {
    dialog_.reset();
    AfxSetMainWnd(nullptr);
    Settle();
  }

  // Groups after "Operations" with their items.
  std::vector<std::pair<std::string, std::vector<Entry>>> Groups() {
    std::vector<std::pair<std::string, std::vector<Entry>>> groups;
    CWndDirectUI& nav = dialog_->NavPanel();
    for (int g = 1; g < nav.GetGroupCount(); ++g) {
      std::vector<Entry> entries;
      for (const auto& item : nav.GetGroup(g)->Items())
        entries.push_back({item->GetCaption(), item->GetCommand(), item->GetImage()});
      groups.emplace_back(nav.GetGroup(g)->GetCaption(), entries);
    }
    return groups;
  }
  std::vector<Entry> DriveItems() {
    auto groups = Groups();
    return groups.empty() ? std::vector<Entry>{} : groups[0].second;
  }
  void Show() {
    dialog_->ShowWindow(SW_SHOW);
    ASSERT_TRUE(RunUntil([this] { return dialog_->IsWindowVisible(); }));
  }
  static UINT Cmd(char letter) { return ID_DRIVE_BASE + static_cast<UINT>(letter); }

  tarn::ui::ScriptedUiSeam seam_;
  FakeSystemCalls fake_;
  std::unique_ptr<CTarnDlg> dialog_;
};

TEST_F(MainWindowTest, DriveListShowsTheRightDrivesLabelsAndImagesInEachMode) {
  // Operations is fixed.
  CDirectUIGroup* operations = dialog_->NavPanel().GetGroup(0);
  ASSERT_NE(operations, nullptr);
  EXPECT_EQ(operations->GetCaption(), "Operations");
  std::vector<Entry> ops;
  for (const auto& item : operations->Items()) ops.push_back({item->GetCaption(), item->GetCommand(), item->GetImage()});
  EXPECT_EQ(ops, (std::vector<Entry>{{"Refresh", ID_REFRESH, 0},
                                     {"Physical Disk", ID_PHYSICALDISK, 1},
                                     {"Private Disk", ID_PRIVATEDISK, 2},
                                     {"CD Encryption", ID_CDENCRYPTION, 3}}));

  auto groups = Groups();
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].first, "Disk Encryption");
  EXPECT_EQ(groups[0].second, (std::vector<Entry>{{"c: Normal", Cmd('c'), 1},
                                                  {"d: Encrypted", Cmd('d'), 2},
                                                  {"e: Encrypted", Cmd('e'), 2},
                                                  {"f:  NotSupported", Cmd('f'), 1},
                                                  {"k:  NotSupported", Cmd('k'), 1}}));

  dialog_->SendMessage(WM_COMMAND, ID_CDENCRYPTION, 0);
  groups = Groups();
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].first, "CD Encryption");
  EXPECT_EQ(groups[0].second, (std::vector<Entry>{{"g:  NotSupported", Cmd('g'), 3}, {"h: Encrypted", Cmd('h'), 4}}));
  EXPECT_EQ(groups[1].first, "Images Encryption");
  EXPECT_EQ(groups[1].second, (std::vector<Entry>{{"Encrypt CD Image", ID_ENCRYPTCDIMAGE, 3},
                                                  {"Decrypt CD Image", ID_DECRYPTCDIMAGE, 6}}));

  dialog_->SendMessage(WM_COMMAND, ID_PRIVATEDISK, 0);
  groups = Groups();
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].first, "Operation");
  EXPECT_EQ(groups[0].second,
            (std::vector<Entry>{{"Make Image", ID_MAKEIMAGE, 4}, {"Mount/Unmount", ID_MOUNTUNMOUNT, 5}}));

  // Back to mode 0: the list is rebuilt, not appended to.
  dialog_->SendMessage(WM_COMMAND, ID_PHYSICALDISK, 0);
  EXPECT_EQ(DriveItems().size(), 5u);
  EXPECT_EQ(dialog_->NavPanel().GetGroupCount(), 2);
}

TEST_F(MainWindowTest, WithTheServiceStoppedEveryDriveReadsNotSupported) {
  fake_.serviceRunning = false;
  dialog_->SendMessage(WM_REFRESHLIST, 0, 0);
  EXPECT_EQ(DriveItems(), (std::vector<Entry>{{"c:  NotSupported", Cmd('c'), 1},
                                              {"d:  NotSupported", Cmd('d'), 1},
                                              {"e:  NotSupported", Cmd('e'), 1},
                                              {"f:  NotSupported", Cmd('f'), 1},
                                              {"k:  NotSupported", Cmd('k'), 1}}));
  dialog_->SendMessage(WM_COMMAND, ID_CDENCRYPTION, 0);
  // Even the empty CD drive shows: the failure code does not read as state 3.
  EXPECT_EQ(DriveItems(), (std::vector<Entry>{{"g:  NotSupported", Cmd('g'), 3},
                                              {"h:  NotSupported", Cmd('h'), 3},
                                              {"i:  NotSupported", Cmd('i'), 3}}));
}

TEST_F(MainWindowTest, FirstRebuildChoosesDriveCAndDriveChoiceTellsTheDiskPage) {
  EXPECT_EQ(dialog_->CurrentDrive, "c:");
  EXPECT_EQ(dialog_->PageTarn().GetDrive(), "C:");  // the page keeps it upper-cased
  EXPECT_EQ(dialog_->PageTarn().GetStyle() & WS_VISIBLE, static_cast<DWORD>(WS_VISIBLE));

  dialog_->SendMessage(WM_COMMAND, ID_MOUNTUNMOUNT, 0);
  EXPECT_TRUE(dialog_->PageMount().GetStyle() & WS_VISIBLE);
  EXPECT_FALSE(dialog_->PageTarn().GetStyle() & WS_VISIBLE);

  // Refresh updates the hidden disk page and leaves the Mount page in view.
  int before = dialog_->PageTarn().SetDriveCount();
  dialog_->SendMessage(WM_COMMAND, ID_REFRESH, 0);
  EXPECT_EQ(dialog_->PageTarn().SetDriveCount(), before + 1);
  EXPECT_TRUE(dialog_->PageMount().GetStyle() & WS_VISIBLE);
  EXPECT_FALSE(dialog_->PageTarn().GetStyle() & WS_VISIBLE);

  dialog_->SendMessage(WM_COMMAND, ID_DECRYPTCDIMAGE, 0);
  EXPECT_EQ(dialog_->PageImageDec().GetEncryptMode(), 0);
  EXPECT_TRUE(dialog_->PageImageDec().GetStyle() & WS_VISIBLE);
  dialog_->SendMessage(WM_COMMAND, ID_ENCRYPTCDIMAGE, 0);
  EXPECT_EQ(dialog_->PageImageEnc().GetEncryptMode(), 1);
  EXPECT_FALSE(dialog_->PageImageDec().GetStyle() & WS_VISIBLE);

  dialog_->SendMessage(WM_COMMAND, Cmd('e'), 0);
  EXPECT_EQ(dialog_->CurrentDrive, "e:");
  EXPECT_EQ(dialog_->PageTarn().GetDrive(), "E:");
  EXPECT_TRUE(dialog_->PageTarn().GetStyle() & WS_VISIBLE);
  EXPECT_FALSE(dialog_->PageImageEnc().GetStyle() & WS_VISIBLE);

  // Mode commands leave the visible page alone.
  dialog_->SendMessage(WM_COMMAND, ID_PRIVATEDISK, 0);
  EXPECT_TRUE(dialog_->PageTarn().GetStyle() & WS_VISIBLE);
  EXPECT_EQ(dialog_->CurrentDrive, "e:");
}

TEST_F(MainWindowTest, InsertedEncryptedMediumAsksOnceAndUnlocksWithTheScriptedPassword) {
  dialog_->SendMessage(WM_COMMAND, ID_CDENCRYPTION, 0);
  seam_.messageBoxAnswers.push_back(IDYES);
  seam_.dialogActions.push_back([](CDialog& d) {
    TypeText(d, IDC_PASSWORD, "disc-pw");
    PressKey(d, Qt::Key_Return);
  });
  fake_.InsertMedium('m', FakeSystemCalls::MakeDrive(DRIVE_CDROM, 0x20002, "disc-pw"));
  ASSERT_TRUE(RunUntil([this] { return !fake_.unlocks.empty(); }));
  Settle();
  ASSERT_EQ(seam_.messageBoxes.size(), 1u);
  EXPECT_EQ(seam_.messageBoxes[0].text, kInsertedPrompt);
  EXPECT_EQ(seam_.messageBoxes[0].caption, "Shroudkeep");
  EXPECT_EQ(seam_.messageBoxes[0].type, 0x124u);
  EXPECT_EQ(seam_.dialogsShown, std::vector<UINT>{IDD_PASSWORD});
  ASSERT_EQ(fake_.unlocks.size(), 1u);
  EXPECT_EQ(fake_.unlocks[0].drive, "M:");
  EXPECT_EQ(fake_.unlocks[0].password, "disc-pw");
  EXPECT_EQ(fake_.unlocks[0].isFullPath, 0);
  EXPECT_EQ(fake_.drives['m'].status, 0xC0001) << "the scripted password unlocked it";
  auto items = DriveItems();
  EXPECT_NE(std::find(items.begin(), items.end(), Entry{"m: Encrypted", Cmd('m'), 4}), items.end());
  EXPECT_TRUE(dialog_->IsWindowEnabled());
  EXPECT_TRUE(seam_.unexpected.empty());
}

TEST_F(MainWindowTest, AnsweringNoUnlocksNothingButStillRebuildsTheList) {
  dialog_->SendMessage(WM_COMMAND, ID_CDENCRYPTION, 0);
  seam_.messageBoxAnswers.push_back(IDNO);
  fake_.InsertMedium('n', FakeSystemCalls::MakeDrive(DRIVE_CDROM, 0x20002, "pw"));
  ASSERT_TRUE(RunUntil([this] { return !seam_.messageBoxes.empty(); }));
  Settle();
  EXPECT_TRUE(fake_.unlocks.empty());
  EXPECT_TRUE(seam_.dialogsShown.empty());
  auto items = DriveItems();
  EXPECT_NE(std::find(items.begin(), items.end(), Entry{"n: Encrypted", Cmd('n'), 4}), items.end());

  // A plain medium asks nothing and also rebuilds.
  fake_.InsertMedium('o', FakeSystemCalls::MakeDrive(DRIVE_CDROM, 0x00000));
  ASSERT_TRUE(RunUntil([this] { return DriveItems().size() == 4; }));
  EXPECT_EQ(seam_.messageBoxes.size(), 1u);
}

TEST_F(MainWindowTest, VolumeInterfaceArrivalUnlocksByDevicePathWithoutRebuilding) {
  const std::string path = "\\\\?\\Volume{0b5e2f10-7c4d-4f1e-9a77-1d2c3b4a5f60}";
  fake_.interfaces[path] = 'd';
  seam_.messageBoxAnswers.push_back(IDYES);
  seam_.dialogActions.push_back([](CDialog& d) {
    TypeText(d, IDC_PASSWORD, "pw");
    d.SendMessage(WM_COMMAND, IDOK, 0);
  });
  size_t queriesBefore = fake_.queries.size();
  fake_.ArriveInterface(path);
  ASSERT_TRUE(RunUntil([this] { return !fake_.unlocks.empty(); }));
  Settle();
  ASSERT_EQ(fake_.unlocks.size(), 1u);
  EXPECT_EQ(fake_.unlocks[0].drive, path);
  EXPECT_EQ(fake_.unlocks[0].isFullPath, 1);
  EXPECT_EQ(fake_.queries.size(), queriesBefore + 1) << "one status query, no drive scan";
}

TEST_F(MainWindowTest, ArrivalWithoutMediaFlagIsIgnoredAndRemovalRebuilds) {
  DEV_BROADCAST_VOLUME volume{};
  volume.dbcv_size = sizeof(volume);
  volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  volume.dbcv_unitmask = 1u << ('d' - 'a');
  size_t queriesBefore = fake_.queries.size();
  dialog_->SendMessage(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume));
  volume.dbcv_unitmask = 0;  // names no drive at all
  volume.dbcv_flags = DBTF_MEDIA;
  dialog_->SendMessage(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume));
  EXPECT_EQ(fake_.queries.size(), queriesBefore);
  EXPECT_TRUE(seam_.messageBoxes.empty());

  fake_.RemoveVolume('e');
  ASSERT_TRUE(RunUntil([this] { return DriveItems().size() == 4; }));
}

TEST_F(MainWindowTest, WaitDialogOpensOnTheNextTickAndClosesWhenTheServiceIsBack) {
  Show();
  bool watchDisarmed = false;
  seam_.dialogActions.push_back([&](CDialog& d) {
    EXPECT_EQ(d.GetTemplateId(), static_cast<UINT>(IDD_WAITRPC));
    watchDisarmed = !dialog_->HasTimer(0);
    PressKey(d, Qt::Key_Return);  // Enter does nothing
    EXPECT_TRUE(d.IsModalLoopRunning());
    fake_.serviceRunning = true;  // the dialog notices on its own tick
  });
  fake_.serviceRunning = false;
  ASSERT_TRUE(RunUntil([this] { return !seam_.dialogsShown.empty(); }));
  ASSERT_TRUE(RunUntil([this] { return dialog_->HasTimer(0) && dialog_->IsWindowEnabled(); }));
  Settle();
  EXPECT_TRUE(watchDisarmed);
  EXPECT_EQ(dialog_->GetEndCode(), -1) << "the program goes on";
  EXPECT_EQ(DriveItems().size(), 5u) << "the list was rebuilt with the service back";
  EXPECT_EQ(DriveItems()[0].label, "c: Normal");
  EXPECT_EQ(seam_.dialogsShown, std::vector<UINT>{IDD_WAITRPC});
}

TEST_F(MainWindowTest, EscapeInTheWaitDialogEndsTheProgram) {
  Show();
  seam_.dialogActions.push_back([](CDialog& d) { PressKey(d, Qt::Key_Escape); });
  fake_.serviceRunning = false;
  ASSERT_TRUE(RunUntil([this] { return dialog_->GetEndCode() == IDCANCEL; }));
  EXPECT_TRUE(dialog_->HasTimer(0)) << "the watch is re-armed even on the tick that ended the dialog";
}

TEST_F(MainWindowTest, HiddenWindowShowsNoWaitDialogAndRebuildsOnEachTick) {
  fake_.serviceRunning = false;
  size_t queriesBefore = fake_.queries.size();
  int pingsBefore = fake_.pings;
  dialog_->SendMessage(WM_TIMER, 0, 0);
  dialog_->SendMessage(WM_TIMER, 7, 0);  // other timers are not the watch
  EXPECT_EQ(fake_.pings, pingsBefore + 1);
  EXPECT_TRUE(seam_.dialogsShown.empty());
  EXPECT_TRUE(dialog_->HasTimer(0));
  EXPECT_EQ(fake_.queries.size(), queriesBefore) << "queries fail before reaching the service";
  EXPECT_EQ(DriveItems()[0].label, "c:  NotSupported");
}

TEST_F(MainWindowTest, EscapeAndCloseHideTheMainWindowWithoutEndingIt) {
  Show();
  PressKey(*dialog_, Qt::Key_Escape);
  EXPECT_FALSE(dialog_->GetStyle() & WS_VISIBLE);
  EXPECT_EQ(dialog_->GetEndCode(), -1);
  Show();
  dialog_->SendMessage(WM_CLOSE, 0, 0);
  EXPECT_FALSE(dialog_->GetStyle() & WS_VISIBLE);
  Show();
  dialog_->SendMessage(WM_SYSCOMMAND, SC_MINIMIZE, 0);
  EXPECT_FALSE(dialog_->GetStyle() & WS_VISIBLE);
  PressKey(*dialog_, Qt::Key_Return);
  EXPECT_EQ(dialog_->GetEndCode(), -1) << "Enter does nothing";
}

TEST_F(MainWindowTest, BusyLocksThePanelAndRefusesExitUntilEnabledAgain) {
  EXPECT_EQ(dialog_->SendMessage(WM_ENABLENAV, 0, 0), 0);
  EXPECT_TRUE(dialog_->Busy);
  EXPECT_FALSE(dialog_->NavPanel().IsWindowEnabled());
  dialog_->SendMessage(WM_COMMAND, ID_TRAY_EXIT, 0);
  ASSERT_EQ(seam_.messageBoxes.size(), 1u);
  EXPECT_EQ(seam_.messageBoxes[0].text, kExitRefused);
  EXPECT_EQ(dialog_->GetEndCode(), -1);
  dialog_->SendMessage(WM_ENABLENAV, 1, 0);
  EXPECT_FALSE(dialog_->Busy);
  EXPECT_TRUE(dialog_->NavPanel().IsWindowEnabled());
  dialog_->SendMessage(WM_COMMAND, ID_TRAY_EXIT, 0);
  EXPECT_EQ(dialog_->GetEndCode(), 0);
}

TEST_F(MainWindowTest, AboutBoxAndHelpAndSystemMenu) {
  seam_.dialogActions.push_back([](CDialog& d) {
    EXPECT_EQ(d.GetWindowText(), "About Tarn");
    d.SendMessage(WM_COMMAND, IDOK, 0);
  });
  dialog_->SendMessage(WM_COMMAND, ID_HDR_ABOUT, 0);
  EXPECT_TRUE(dialog_->IsWindowEnabled()) << "the owner is enabled again afterwards";
  seam_.dialogActions.push_back([](CDialog& d) { d.SendMessage(WM_COMMAND, IDOK, 0); });
  dialog_->SendMessage(WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  EXPECT_EQ(seam_.dialogsShown, (std::vector<UINT>{IDD_ABOUTBOX, IDD_ABOUTBOX}));

  dialog_->SendMessage(WM_COMMAND, ID_HDR_HELP, 0);
  ASSERT_EQ(seam_.shellOpened.size(), 1u);
  EXPECT_NE(seam_.shellOpened[0].find("open "), std::string::npos);
  EXPECT_NE(seam_.shellOpened[0].find("/UserManual.html"), std::string::npos);

  CMenu* systemMenu = dialog_->GetSystemMenu(FALSE);
  ASSERT_EQ(systemMenu->GetMenuItemCount(), 2);
  EXPECT_EQ(systemMenu->GetMenuItemID(1), static_cast<UINT>(IDM_ABOUTBOX));
  EXPECT_EQ(systemMenu->GetMenuString(1), "&About Shroudkeep...");
  EXPECT_TRUE(seam_.unexpected.empty());
}

}  // namespace

namespace {

TEST_F(MainWindowTest, PictureButtonsReachTheirCommands) {
  seam_.dialogActions.push_back([](CDialog& d) { d.SendMessage(WM_COMMAND, IDOK, 0); });
  CWnd* about = dialog_->GetDlgItem(ID_HDR_ABOUT);
  ASSERT_NE(about, nullptr);
  about->SendMessage(WM_LBUTTONDOWN, 0, 0);
  dialog_->GetDlgItem(ID_HDR_HELP)->SendMessage(WM_LBUTTONDOWN, 0, 0);
  Settle();
  EXPECT_EQ(seam_.dialogsShown, std::vector<UINT>{IDD_ABOUTBOX});
  EXPECT_EQ(seam_.shellOpened.size(), 1u);
}

TEST_F(MainWindowTest, AboutLinksOpenTheirTargets) {
  seam_.dialogActions.push_back([](CDialog& d) {
    auto& about = static_cast<CAboutDlg&>(d);
    EXPECT_EQ(about.HomePage().GetTextColor(), static_cast<COLORREF>(0xFF0000));
    EXPECT_EQ(about.Support().GetTextColor(), static_cast<COLORREF>(0xFF0000));
    about.HomePage().SendMessage(WM_LBUTTONDOWN, 0, 0);
    about.Support().SendMessage(WM_LBUTTONDOWN, 0, 0);
    d.SendMessage(WM_COMMAND, IDOK, 0);
  });
  dialog_->SendMessage(WM_COMMAND, ID_HDR_ABOUT, 0);
  EXPECT_EQ(seam_.shellOpened, (std::vector<std::string>{std::string("open Explorer ") + kHomePage,
                                                         std::string("open mailto:") + kSupportAddress}));
}

TEST_F(MainWindowTest, TrayDoubleClickTogglesTheWindow) {
  Show();
  EXPECT_EQ(dialog_->SendMessage(WM_TRAYICON, 100, WM_LBUTTONDBLCLK), 1);
  EXPECT_FALSE(dialog_->GetStyle() & WS_VISIBLE);
  dialog_->SendMessage(WM_TRAYICON, 100, WM_LBUTTONDBLCLK);
  EXPECT_TRUE(dialog_->GetStyle() & WS_VISIBLE);
  dialog_->SendMessage(WM_TRAYICON, 100, WM_MOUSEMOVE);  // ignored
  EXPECT_TRUE(dialog_->GetStyle() & WS_VISIBLE);
  seam_.menuAnswers.push_back(ID_TRAY_SHOWWINDOW);
  dialog_->SendMessage(WM_TRAYICON, 100, WM_RBUTTONUP);
  ASSERT_EQ(seam_.menusShown.size(), 1u);
  EXPECT_EQ(seam_.menusShown[0].items.size(), 8u);
  EXPECT_EQ(seam_.menusShown[0].items[7].text, "&Exit");
}

}  // namespace
