// The desktop program's side of an interrupted drive conversion, against the
// in-memory service: the drive list and the Disk Encryption page show
// "Interrupted: 37% encrypted", the page offers only Resume, a wrong
// password is reported and an uncheckable one is sent again only after a yes.
#include <gtest/gtest.h>

#include <strings.h>

#include <memory>

#include "app/fake_system_calls.h"
#include "app/pages.h"
#include "app/password_dlg.h"
#include "app/resource.h"
#include "app/resources.h"
#include "app/tarn_dlg.h"
#include "platform/ui/scripted_ui_seam.h"
#include "tests/ui/qt_environment.h"

namespace {

using namespace tarn::ui;

class InterruptedFake : public FakeSystemCalls {
 public:
  CONVERSION_STATE state{};
  bool interrupted = true;
  std::deque<long> answers;
  std::vector<std::string> resumes;

  long SvcQueryConversion(const char* target, CONVERSION_STATE* out) override {
    // Device names compare as the service compares them: case aside.
    if (!interrupted || strcasecmp(target, "\\\\.\\E:") != 0) return 1168;
    *out = state;
    return 0;
  }
  long SvcResumeConversion(const char* target, const char* password, long confirmed) override {
    resumes.push_back(std::string(target) + " " + password + " " + std::to_string(confirmed));
    const long answer = answers.empty() ? 0 : answers.front();
    if (!answers.empty()) answers.pop_front();
    return answer;
  }
};

class InterruptedPage : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterShroudkeepResources();
    fake_.drives['c'] = FakeSystemCalls::Drive{DRIVE_FIXED, 0x10000, "", "System", "NTFS", 64ull << 30, 20ull << 30};
    fake_.drives['e'] = FakeSystemCalls::Drive{DRIVE_FIXED, 0x20002, "", "", "", 8ull << 30, 0};
    fake_.state.Encrypt = 1;
    fake_.state.ChunksDone = 37;
    fake_.state.ChunkCount = 100;
    fake_.state.Percent = 37;
    dialog_ = std::make_unique<CTarnDlg>(fake_);
    AfxSetMainWnd(dialog_.get());
    ASSERT_TRUE(dialog_->Create(IDD_MAIN, nullptr));
    dialog_->SendMessage(WM_COMMAND, ID_DRIVE_BASE + static_cast<UINT>('e'), 0);
  }
  void TearDown() override {
    dialog_.reset();
    AfxSetMainWnd(nullptr);
    tarn::ui::testing::Settle();
  }
  CPageTarn& Page() { return dialog_->PageTarn(); }
  std::string Text(int id) { return Page().GetDlgItem(id)->GetWindowText(); }
  bool Enabled(int id) { return Page().GetDlgItem(id)->IsWindowEnabled(); }
  void ClickResume() { Page().SendMessage(WM_COMMAND, MAKEWPARAM(IDC_TARN_ENCRYPT, BN_CLICKED), 0); }
  void AnswerPassword(const std::string& password) {
    seam_.dialogActions.push_back([password](CDialog& d) {
      TypeText(d, IDC_PASSWORD, password);
      if (d.GetDlgItem(IDC_CONFIRM)) TypeText(d, IDC_CONFIRM, password);
      d.SendMessage(WM_COMMAND, IDOK, 0);
    });
  }

  InterruptedFake fake_;
  ScriptedUiSeam seam_;
  std::unique_ptr<CTarnDlg> dialog_;
};

TEST_F(InterruptedPage, ShownAsInterruptedWithOnlyResumeOffered) {
  bool listed = false;
  CWndDirectUI& nav = dialog_->NavPanel();
  for (int g = 0; g < nav.GetGroupCount(); ++g)
    for (const auto& item : nav.GetGroup(g)->Items())
      listed = listed || item->GetCaption() == "e: Interrupted: 37% encrypted";
  EXPECT_TRUE(listed) << "the drive list shows the interruption";
  EXPECT_EQ(Text(IDC_TARN_DRIVETYPE), "Interrupted: 37% encrypted");
  EXPECT_EQ(Text(IDC_TARN_ENCRYPT), "Resume");
  EXPECT_TRUE(Enabled(IDC_TARN_ENCRYPT));
  EXPECT_FALSE(Enabled(IDC_TARN_LOCK)) << "unlocking a half-encrypted drive would garble it";
  EXPECT_FALSE(Enabled(IDC_TARN_FORMAT));
  EXPECT_FALSE(Enabled(IDC_TARN_OPEN)) << "half its chunks are in the other form";
}

TEST_F(InterruptedPage, WrongPasswordReportedUncheckableSentAgainOnlyAfterYes) {
  fake_.answers = {86};
  AnswerPassword("wrong");
  ClickResume();
  ASSERT_EQ(fake_.resumes, std::vector<std::string>{"\\\\.\\E: wrong 0"});
  ASSERT_FALSE(seam_.messageBoxes.empty());
  EXPECT_EQ(seam_.messageBoxes.back().text, "The password is wrong; nothing was written.");

  fake_.resumes.clear();
  fake_.answers = {TARNSVC_RESUME_UNVERIFIED};
  seam_.messageBoxAnswers = {IDNO};
  AnswerPassword("maybe");
  ClickResume();
  EXPECT_EQ(fake_.resumes, std::vector<std::string>{"\\\\.\\E: maybe 0"}) << "no second call without a yes";

  fake_.resumes.clear();
  fake_.answers = {TARNSVC_RESUME_UNVERIFIED, 0};
  seam_.messageBoxAnswers = {IDYES};
  AnswerPassword("maybe");
  ClickResume();
  EXPECT_EQ(fake_.resumes, (std::vector<std::string>{"\\\\.\\E: maybe 0", "\\\\.\\E: maybe 1"}));
}

}  // namespace
