// The desktop program's windows on a live machine: tarnhost on a temporary
// machine directory with its default drives, tarnsvc started by its control
// manager, and the main window in this process calling both for real.
#include <QCoreApplication>
#include <QThread>

#include "app/pages.h"
#include "app/password_dlg.h"
#include "app/real_system_calls.h"
#include "app/resource.h"
#include "app/resources.h"
#include "app/tarn_dlg.h"
#include "platform/ui/scripted_ui_seam.h"
#include "service/client/svcclient.h"
#include "tests/tarnctl/live_machine.h"
#include "tests/ui/qt_environment.h"

using tarn::ui::TypeText;

namespace {

class LivePagesTest : public tarnctl::testing::LiveMachine {
 protected:
  void SetUp() override {
    LiveMachine::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    RegisterShroudkeepResources();
    ASSERT_EQ(SvcBind(), 0);
    system_ = std::make_unique<RealSystemCalls>();
    dialog_ = std::make_unique<CTarnDlg>(*system_);
    AfxSetMainWnd(dialog_.get());
    ASSERT_TRUE(dialog_->Create(IDD_MAIN, nullptr));
  }
  void TearDown() override {
    dialog_.reset();
    system_.reset();
    AfxSetMainWnd(nullptr);
    tarn::ui::testing::Settle();
    SvcUnbind();
    LiveMachine::TearDown();
  }
  std::vector<std::string> DriveLabels() {
    std::vector<std::string> labels;
    CWndDirectUI& nav = dialog_->NavPanel();
    if (nav.GetGroupCount() > 1)
      for (const auto& item : nav.GetGroup(1)->Items()) labels.push_back(item->GetCaption());
    return labels;
  }
  static bool Has(const std::vector<std::string>& list, const std::string& text) {
    return std::find(list.begin(), list.end(), text) != list.end();
  }
  void AnswerPassword(const std::string& password) {
    seam_.dialogActions.push_back([password](CDialog& d) {
      TypeText(d, IDC_PASSWORD, password);
      if (d.GetDlgItem(IDC_CONFIRM)) TypeText(d, IDC_CONFIRM, password);
      d.SendMessage(WM_COMMAND, IDOK, 0);
    });
  }
  // Ticks the page's progress timer until its conversion has ended; a guard
  // against a hang only (a conversion of the sample drive is short).
  bool PollToEnd(CWnd& page, UINT_PTR timer, const std::function<bool()>& converting) {
    for (int i = 0; i < 6000 && converting(); ++i) {
      page.SendMessage(WM_TIMER, timer, 0);
      QThread::msleep(20);
    }
    return !converting();
  }

  tarn::ui::ScriptedUiSeam seam_;
  std::unique_ptr<RealSystemCalls> system_;
  std::unique_ptr<CTarnDlg> dialog_;
};

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
