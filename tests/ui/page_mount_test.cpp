// The Mount page, the tray's menu and commands, the Options dialog and the
// start-up against the in-memory machine and service.
#include <QLocalServer>
#include <thread>
#include <unistd.h>

#include "app/option_dlg.h"
#include "app/pages.h"
#include "app/settings.h"
#include "app/tarn_app.h"
#include "tests/ui/page_fixture.h"

using namespace tarn::ui::testing;
using tarn::ui::TypeText;

namespace {

VDISK_MOUNT_RECORD Record(char letter, const std::string& path, uint32_t kind) {
  VDISK_MOUNT_RECORD record{};
  record.DriveLetter = letter;
  record.DiskKind = kind;
  SetRecordFileName(record, path);
  return record;
}

std::vector<std::string> FreeLettersFrom(char first, char last) {
  std::vector<std::string> letters;
  for (char c = first; c <= last; ++c) letters.push_back(std::string{c, ':'});
  return letters;
}

class MountPageTest : public PageTest {
 protected:
  CPageMount& Page() { return dialog_->PageMount(); }
};

TEST_F(MountPageTest, ListOffersFreeLettersFromDAndMountedOnes) {
  Open();
  // C: and E: exist; E: is a plain drive, so it is not offered.
  std::vector<std::string> expected = FreeLettersFrom('D', 'D');
  auto rest = FreeLettersFrom('F', 'Z');
  expected.insert(expected.end(), rest.begin(), rest.end());
  EXPECT_EQ(Page().Letters(), expected);
  EXPECT_EQ(Page().ChosenLetter(), 'D');
  EXPECT_EQ(Text(Page(), IDOK), "&Mount");

  fake_.mounts['G'] = Record('G', "/img/disc.iso", 2);
  fake_.drives['g'] = FakeSystemCalls::MakeDrive(DRIVE_CDROM, 0x10000);
  Click(Page(), IDC_MNT_REFRESH);
  auto letters = Page().Letters();
  ASSERT_GE(letters.size(), 4u);
  EXPECT_EQ(letters[2], " G: Mounted");
  EXPECT_EQ(fake_.openHandles, 0);
}

TEST_F(MountPageTest, ChoosingAMountedLetterShowsItsImage) {
  fake_.mounts['G'] = Record('G', "/img/disc.iso", 2);
  fake_.drives['g'] = FakeSystemCalls::MakeDrive(DRIVE_CDROM, 0x10000);
  Open();
  CComboBox letters;
  letters.Attach(Page().GetDlgItem(IDC_MNT_LETTER));
  letters.SetCurSel(2);
  Page().SendMessage(WM_COMMAND, MAKEWPARAM(IDC_MNT_LETTER, CBN_SELCHANGE), 0);
  EXPECT_EQ(Text(Page(), IDOK), "&Unmount");
  EXPECT_EQ(Text(Page(), IDC_MNT_PATH), "/img/disc.iso");
  EXPECT_EQ(GetCheck(Page().GetDlgItem(IDC_MNT_CD)), BST_CHECKED);
  EXPECT_FALSE(Enabled(Page(), IDC_MNT_PATH));
  EXPECT_FALSE(Enabled(Page(), IDC_MNT_PASSWORD));
}

TEST_F(MountPageTest, EmptyPathSendsNothing) {
  Open();
  Click(Page(), IDOK);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Please input image file path to mount!"}));
  EXPECT_TRUE(fake_.calls.empty());
}

TEST_F(MountPageTest, MountEncryptedImageUnlocksItAndUnmountKeepsTheLetter) {
  fake_.files.insert("/img/secret.img");
  fake_.encryptedImages["/img/secret.img"] = "pw";
  fake_.mountFailuresBefore = 3;
  Open();
  Page().GetDlgItem(IDC_MNT_PATH)->SetWindowText("/img/secret.img");
  TypeText(Page(), IDC_MNT_PASSWORD, "pw");
  Click(Page(), IDOK);
  std::vector<long> devices;
  for (const auto& c : fake_.calls)
    if (c.op == "mount") devices.push_back(c.n);
  EXPECT_EQ(devices, (std::vector<long>{0, 1, 2, 3}));
  ASSERT_TRUE(fake_.mounts.count('D'));
  EXPECT_EQ(RecordFileName(fake_.mounts['D']), "/img/secret.img");
  // Copied out: the record is packed, so its fields may not be bound by reference.
  uint16_t first = fake_.mounts['D'].FileName[0];
  int64_t diskSize = fake_.mounts['D'].DiskSize;
  EXPECT_EQ(first, u'\\');
  EXPECT_EQ(diskSize, 0);
  EXPECT_EQ(fake_.drives['d'].status, 0xC0001);  // unlocked with the page's password
  EXPECT_EQ(seam_.messageBoxes.back().text, "Mount success");
  EXPECT_EQ(Page().Letters().front(), " D: Mounted");
  EXPECT_EQ(Text(Page(), IDOK), "&Unmount");

  Click(Page(), IDOK);
  EXPECT_EQ(seam_.messageBoxes.back().text, "Unmount success");
  EXPECT_EQ(Page().Letters().front(), "D:");
  EXPECT_EQ(Page().ChosenLetter(), 'D');
  EXPECT_EQ(Text(Page(), IDOK), "&Mount");
}

TEST_F(MountPageTest, EightFailuresReportTheLastCode) {
  fake_.mountFailuresBefore = 8;
  Open();
  Page().GetDlgItem(IDC_MNT_PATH)->SetWindowText("/img/a.img");
  Click(Page(), IDOK);
  EXPECT_EQ(fake_.calls.size(), 8u);
  EXPECT_EQ(seam_.messageBoxes.back().text,
            "Mount error AA, file can not be opened or too many virtual drives mounted.");
}

class TrayTest : public PageTest {};

TEST_F(TrayTest, MenuListsMountedDrivesInLetterOrder) {
  Open();
  seam_.menuAnswers = {0};
  dialog_->SendMessage(WM_TRAYICON, 100, WM_RBUTTONUP);
  ASSERT_EQ(seam_.menusShown.size(), 1u);
  EXPECT_EQ(seam_.menusShown[0].items.size(), 8u);

  fake_.mounts['G'] = Record('G', "/img/g.img", 0);
  fake_.drives['g'] = FakeSystemCalls::MakeDrive(DRIVE_FIXED, 0x10000);
  fake_.mounts['F'] = Record('F', "/img/f.iso", 2);
  fake_.drives['f'] = FakeSystemCalls::MakeDrive(DRIVE_CDROM, 0x10000);
  dialog_->SendMessage(WM_TRAYICON, 100, WM_RBUTTONUP);
  const MenuData& menu = seam_.menusShown[1];
  ASSERT_EQ(menu.items.size(), 10u);
  EXPECT_EQ(menu.items[3].text, "Mount &CD Image");
  EXPECT_TRUE(menu.items[4].flags & MF_SEPARATOR);
  EXPECT_EQ(menu.items[5].text, "&Unmount Drives");
  ASSERT_TRUE(menu.items[5].popup);
  const auto& sub = menu.items[5].popup->items;
  ASSERT_EQ(sub.size(), 2u);
  EXPECT_EQ(sub[0].text, "Unmount  F:(/img/f.iso)");
  EXPECT_EQ(sub[0].id, 0x8000u + 'F');
  EXPECT_EQ(sub[1].text, "Unmount  G:(/img/g.img)");
}

TEST_F(TrayTest, UnmountCommandSendsTheBareLetter) {
  fake_.mounts['G'] = Record('G', "/img/g.img", 0);
  fake_.drives['g'] = FakeSystemCalls::MakeDrive(DRIVE_FIXED, 0x10000);
  Open();
  dialog_->SendMessage(WM_COMMAND, 0x8000 + 'G', 0);
  EXPECT_EQ(fake_.calls.back().op, "unmount");
  EXPECT_EQ(fake_.calls.back().n, 'G');
  EXPECT_EQ(seam_.messageBoxes.back().text, "Unmount success");
}

TEST_F(TrayTest, MountFromTheTrayUsesTheFirstFreeLetter) {
  fake_.drives['d'] = FakeSystemCalls::MakeDrive(DRIVE_CDROM, 0x3);
  Open();
  seam_.fileAnswers = {{IDOK, "/img/disc.iso"}};
  dialog_->SendMessage(WM_COMMAND, ID_TRAY_MOUNTCD, 0);
  ASSERT_TRUE(fake_.mounts.count('F'));  // D: and E: exist
  uint32_t kind = fake_.mounts['F'].DiskKind;
  EXPECT_EQ(kind, 2u);
  EXPECT_EQ(seam_.fileRequests[0].filter, "CD Image Files (*.iso)|*.iso|All Files (*.*)|*.*||");
  EXPECT_EQ(seam_.messageBoxes.back().text, "Mount success");
}

TEST_F(TrayTest, ExitIsRefusedWhileBusy) {
  Open();
  dialog_->SendMessage(WM_ENABLENAV, 0, 0);
  dialog_->SendMessage(WM_COMMAND, ID_TRAY_EXIT, 0);
  EXPECT_EQ(seam_.messageBoxes.back().text, kExitRefused);
  EXPECT_EQ(dialog_->GetEndCode(), -1);
  dialog_->SendMessage(WM_ENABLENAV, 1, 0);
  dialog_->SendMessage(WM_COMMAND, ID_TRAY_EXIT, 0);
  EXPECT_EQ(dialog_->GetEndCode(), 0);
}

class OptionsTest : public PageTest {};

TEST_F(OptionsTest, SettingsWrittenOnOkAndReadBack) {
  Open();
  DWORD value = 7;
  EXPECT_NE(ReadSettingDword(fake_, kAppKey, kShowTrayIcon, &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);  // missing reads as on
  seam_.dialogActions.push_back([](CDialog& d) {
    EXPECT_EQ(GetCheck(d.GetDlgItem(IDC_OPT_TRAY)), BST_CHECKED);
    EXPECT_EQ(GetCheck(d.GetDlgItem(IDC_OPT_SHELLEXT)), BST_CHECKED);
    SetCheck(d.GetDlgItem(IDC_OPT_TRAY), BST_UNCHECKED);
    SetCheck(d.GetDlgItem(IDC_OPT_SHELLEXT), BST_UNCHECKED);
    d.SendMessage(WM_COMMAND, IDOK, 0);
  });
  dialog_->SendMessage(WM_COMMAND, ID_TRAY_OPTION, 0);
  EXPECT_FALSE(SettingOn(fake_, kShowTrayIcon));
  EXPECT_FALSE(SettingOn(fake_, kShellExtensionEnabled));
  EXPECT_TRUE(dialog_->IsWindowEnabled());
  // Read back by the next dialog; Escape writes nothing.
  seam_.dialogActions.push_back([](CDialog& d) {
    EXPECT_EQ(GetCheck(d.GetDlgItem(IDC_OPT_TRAY)), BST_UNCHECKED);
    SetCheck(d.GetDlgItem(IDC_OPT_TRAY), BST_CHECKED);
    d.SendMessage(WM_COMMAND, IDCANCEL, 0);
  });
  dialog_->SendMessage(WM_COMMAND, ID_HDR_OPTION, 0);
  EXPECT_FALSE(SettingOn(fake_, kShowTrayIcon));
  // An unreadable key counts as on.
  fake_.registryBroken = true;
  EXPECT_TRUE(SettingOn(fake_, kShowTrayIcon));
}

TEST_F(OptionsTest, AutostartWrittenAtOnceAndKeptAfterEscape) {
  Open();
  seam_.dialogActions.push_back([](CDialog& d) {
    EXPECT_EQ(GetCheck(d.GetDlgItem(IDC_OPT_AUTOSTART)), BST_UNCHECKED);
    d.GetDlgItem(IDC_OPT_AUTOSTART)->SendMessage(WM_NULL);
    SetCheck(d.GetDlgItem(IDC_OPT_AUTOSTART), BST_CHECKED);
    d.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_OPT_AUTOSTART, BN_CLICKED), 0);
    d.SendMessage(WM_COMMAND, IDCANCEL, 0);
  });
  dialog_->SendMessage(WM_COMMAND, ID_TRAY_OPTION, 0);
  ASSERT_TRUE(fake_.autostart.count(kRunValueName));
  EXPECT_EQ(fake_.autostart[kRunValueName], "/opt/shroudkeep/shroudkeep -start");
  char buffer[MAX_PATH];
  EXPECT_EQ(ReadRunValue(fake_, kRunKey, kRunValueName, buffer, sizeof(buffer)), ERROR_SUCCESS);

  // A path too long for the Run value's 260 bytes is kept whole.
  fake_.modulePath = "/opt/" + std::string(300, 'x') + "/shroudkeep";
  EXPECT_EQ(AutostartCommand(fake_), fake_.modulePath + " -start");
  seam_.dialogActions.push_back([](CDialog& d) {
    EXPECT_EQ(GetCheck(d.GetDlgItem(IDC_OPT_AUTOSTART)), BST_CHECKED);
    SetCheck(d.GetDlgItem(IDC_OPT_AUTOSTART), BST_UNCHECKED);
    d.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_OPT_AUTOSTART, BN_CLICKED), 0);
    d.SendMessage(WM_COMMAND, IDCANCEL, 0);
  });
  dialog_->SendMessage(WM_COMMAND, ID_TRAY_OPTION, 0);
  EXPECT_FALSE(fake_.autostart.count(kRunValueName));
}

TEST(StartUp, OnlyAFirstArgumentOfMinusStartInAnyCaseHides) {
  struct Case {
    std::vector<const char*> args;
    bool hidden;
  } cases[] = {
      {{"shroudkeep"}, false},           {{"shroudkeep", "-start"}, true},
      {{"shroudkeep", "-START"}, true},  {{"shroudkeep", "-Start", "x"}, true},
      {{"shroudkeep", "start"}, false},  {{"shroudkeep", "x", "-start"}, false},
  };
  for (auto& c : cases) {
    std::vector<char*> argv;
    for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
    EXPECT_EQ(CTarnApp::HiddenStart(static_cast<int>(argv.size()), argv.data()), c.hidden) << c.args.back();
  }
}

TEST_F(PageTest, HiddenStartThenASecondStartBringsTheWindowToTheFront) {
  RegisterShroudkeepResources();
  // A title of this test's own, so a running program is never disturbed.
  std::string title = "Shroudkeep test " + std::to_string(::getpid());
  char name[] = "shroudkeep";
  char start[] = "-START";
  char* argv[] = {name, start, nullptr};
  CTarnApp app(fake_);
  CTarnApp::Options options;
  bool hiddenAtFirst = false;
  bool shownBySecond = false;
  bool secondFoundFirst = false;
  options.run = [&](CTarnDlg& dialog) {
    tarn::ui::InstanceMark mark;
    EXPECT_TRUE(mark.Claim(title, &dialog));
    hiddenAtFirst = !dialog.IsWindowVisible();
    std::thread second([&] { secondFoundFirst = tarn::ui::InstanceMark::ActivateOther(title); });
    shownBySecond = RunUntil([&] { return dialog.IsWindowVisible(); });
    second.join();
    return 0;
  };
  EXPECT_EQ(app.InitInstance(2, argv, options), 0);
  EXPECT_TRUE(hiddenAtFirst);
  EXPECT_TRUE(secondFoundFirst);
  EXPECT_TRUE(shownBySecond);
  EXPECT_FALSE(tarn::ui::InstanceMark::ActivateOther(title));  // the mark went with the first
}

TEST(StartUp, BindFailureEndsWithItsStatusBeforeAnyWindow) {
  FakeSystemCalls fake;
  CTarnApp app(fake);
  CTarnApp::Options options;
  options.bind = [] { return 1702L; };  // RPC_S_INVALID_BINDING
  bool ran = false;
  options.run = [&](CTarnDlg&) {
    ran = true;
    return 0;
  };
  char name[] = "shroudkeep";
  char* argv[] = {name, nullptr};
  EXPECT_EQ(app.InitInstance(1, argv, options), 1702);
  EXPECT_FALSE(ran);
}

}  // namespace
