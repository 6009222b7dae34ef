// The main window's drive list, Disk Encryption page, Create Image and Mount
// pages on a live machine (see live_fixture.h).
#include "tests/ui/live_fixture.h"

using namespace tarn::ui::testing;

namespace {

using LivePagesTest = LiveWindowTest;

TEST_F(LivePagesTest, DriveListAndDiskPageShowTheMachine) {
  auto labels = DriveLabels();
  EXPECT_TRUE(Has(labels, "e: Normal")) << ::testing::PrintToString(labels);
  dialog_->SendMessage(WM_COMMAND, ID_DRIVE_BASE + 'c', 0);
  CPageTarn& page = dialog_->PageTarn();
  EXPECT_EQ(page.GetDlgItem(IDC_TARN_DRIVETYPE)->GetWindowText(), "System");
  dialog_->SendMessage(WM_COMMAND, ID_DRIVE_BASE + 'e', 0);
  EXPECT_EQ(page.GetDlgItem(IDC_TARN_DRIVETYPE)->GetWindowText(), "Normal");
  EXPECT_EQ(page.GetDlgItem(IDC_TARN_FS)->GetWindowText(), "FAT32");
  EXPECT_TRUE(page.GetDlgItem(IDC_TARN_ENCRYPT)->IsWindowEnabled());
}

// Each kind of drive as the list shows it on a live machine, and the service
// watch: with the service stopped every drive reads NotSupported, and the
// wait dialog opens on the next tick and closes by itself once the service
// answers again.
TEST_F(LivePagesTest, DriveListShowsEachKindOfDriveAndWatchesTheService) {
  const std::string pw = PasswordFile("list pw");
  for (const char* drive : {"E:", "F:"}) {
    const auto run = Ctl({"quick-encrypt", drive, "--yes", "--password-file", pw});
    ASSERT_EQ(run.status, 0) << run.output;
  }
  // E: without a file system reads as locked; F: formatted reads as unlocked.
  const auto formatted = Ctl({"format", "F:", "--yes"});
  ASSERT_EQ(formatted.status, 0) << formatted.output;
  const std::string sealed = root_ + "/g.img";
  ASSERT_EQ(tarnctl::testing::RunProgram("/usr/sbin/mkfs.fat", {"-C", sealed, "8192"}).status, 0);
  AddDrive("G:", 0, true, sealed);
  ASSERT_EQ(CtlStatus('e') & 0xF, 2);
  ASSERT_EQ(CtlStatus('f') & 0xF, 1);

  dialog_->SendMessage(WM_COMMAND, ID_REFRESH, 0);
  auto labels = DriveLabels();
  for (const char* label : {"c: Normal", "e: Encrypted", "f: Encrypted", "g:  NotSupported"})
    EXPECT_TRUE(Has(labels, label)) << label << " in " << ::testing::PrintToString(labels);
  EXPECT_FALSE(std::any_of(labels.begin(), labels.end(), [](const std::string& l) { return l[0] == 'd'; }))
      << "CD/DVD drives belong to the CD mode";

  // The empty CD/DVD drive is left out; with a disc it is listed.
  dialog_->SendMessage(WM_COMMAND, ID_CDENCRYPTION, 0);
  EXPECT_TRUE(DriveLabels().empty()) << ::testing::PrintToString(DriveLabels());
  ASSERT_EQ(Host({"media", "insert", "D:", sealed}).status, 0);
  EXPECT_TRUE(WaitFor([&] { return Has(DriveLabels(), "d:  NotSupported"); }))
      << ::testing::PrintToString(DriveLabels());
  dialog_->SendMessage(WM_COMMAND, ID_PHYSICALDISK, 0);

  // Hidden, the watch only rebuilds the list.
  ASSERT_EQ(Host({"service", "stop", "tarnsvc"}).status, 0);
  for (int i = 0; i < 100 && ServicePid() > 0; ++i) QThread::msleep(50);
  dialog_->SendMessage(WM_TIMER, 0, 0);
  labels = DriveLabels();
  for (const char* label : {"c:  NotSupported", "e:  NotSupported", "f:  NotSupported", "g:  NotSupported"})
    EXPECT_TRUE(Has(labels, label)) << label << " in " << ::testing::PrintToString(labels);
  EXPECT_TRUE(seam_.dialogsShown.empty());

  // Shown, the next tick opens the wait dialog, which closes once the
  // service is back; the list is rebuilt from the live service.
  dialog_->ShowWindow(SW_SHOW);
  ASSERT_TRUE(WaitFor([&] { return dialog_->IsWindowVisible(); }));
  seam_.dialogActions.push_back([&](CDialog& d) {
    EXPECT_EQ(d.GetTemplateId(), static_cast<UINT>(IDD_WAITRPC));
    StartService();
  });
  ASSERT_TRUE(WaitFor([&] { return !seam_.dialogsShown.empty(); })) << "no wait dialog";
  ASSERT_TRUE(WaitFor([&] { return dialog_->IsWindowEnabled() && Has(DriveLabels(), "c: Normal"); }))
      << ::testing::PrintToString(DriveLabels());
  EXPECT_EQ(dialog_->GetEndCode(), -1) << "the program goes on";
  EXPECT_TRUE(Has(DriveLabels(), "e: Encrypted"));
  EXPECT_EQ(seam_.dialogsShown, std::vector<UINT>{IDD_WAITRPC});
}

TEST_F(LivePagesTest, EncryptFromThePageThenLockAndUnlock) {
  dialog_->SendMessage(WM_COMMAND, ID_DRIVE_BASE + 'e', 0);
  CPageTarn& page = dialog_->PageTarn();
  seam_.messageBoxAnswers = {IDYES};
  AnswerPassword("live secret");
  page.SendMessage(WM_COMMAND, IDC_TARN_ENCRYPT, 0);
  ASSERT_TRUE(page.Converting()) << ::testing::PrintToString(seam_.unexpected);
  seam_.messageBoxAnswers = {IDOK};
  ASSERT_TRUE(PollToEnd(page, 0, [&] { return page.Converting(); }));
  EXPECT_EQ(seam_.messageBoxes.back().text, "Encrypt disk complete!");
  EXPECT_TRUE(Has(DriveLabels(), "e: Encrypted")) << ::testing::PrintToString(DriveLabels());
  EXPECT_EQ(page.GetDlgItem(IDC_TARN_DRIVETYPE)->GetWindowText(), "Encrypted");

  page.SendMessage(WM_COMMAND, IDC_TARN_LOCK, 0);
  EXPECT_EQ(page.GetDlgItem(IDC_TARN_DRIVETYPE)->GetWindowText(), "Locked");
  AnswerPassword("live secret");
  page.SendMessage(WM_COMMAND, IDC_TARN_LOCK, 0);
  EXPECT_EQ(page.GetDlgItem(IDC_TARN_DRIVETYPE)->GetWindowText(), "Encrypted");
  EXPECT_TRUE(seam_.unexpected.empty()) << ::testing::PrintToString(seam_.unexpected);
}

TEST_F(LivePagesTest, CreateImageThenMountAndUnmountItOnTheMountPage) {
  std::string image = root_ + "/made.img";
  CPageCreateImage& create = dialog_->PageCreateImage();
  create.GetDlgItem(IDC_CI_PATH)->SetWindowText(image);
  create.GetDlgItem(IDC_CI_SIZE)->SetWindowText("16");
  create.SendMessage(WM_COMMAND, IDOK, 0);
  ASSERT_FALSE(seam_.messageBoxes.empty());
  EXPECT_EQ(seam_.messageBoxes.back().text, "Create disk image complete!");
  ASSERT_TRUE(std::filesystem::exists(image));
  EXPECT_EQ(std::filesystem::file_size(image), 16u << 20);

  CPageMount& mount = dialog_->PageMount();
  mount.RefreshList();
  char letter = mount.ChosenLetter();
  ASSERT_NE(letter, 0);
  mount.GetDlgItem(IDC_MNT_PATH)->SetWindowText(image);
  mount.SendMessage(WM_COMMAND, IDOK, 0);
  EXPECT_EQ(seam_.messageBoxes.back().text, "Mount success");
  EXPECT_TRUE(Has(mount.Letters(), std::string(" ") + letter + ": Mounted")) << ::testing::PrintToString(mount.Letters());
  EXPECT_EQ(mount.GetDlgItem(IDOK)->GetWindowText(), "&Unmount");
  EXPECT_EQ(mount.GetDlgItem(IDC_MNT_PATH)->GetWindowText(), image);
  mount.SendMessage(WM_COMMAND, IDOK, 0);
  EXPECT_EQ(seam_.messageBoxes.back().text, "Unmount success");
  EXPECT_EQ(mount.ChosenLetter(), letter);
  EXPECT_EQ(mount.GetDlgItem(IDOK)->GetWindowText(), "&Mount");
}

}  // namespace
