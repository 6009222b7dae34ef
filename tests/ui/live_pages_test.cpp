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
