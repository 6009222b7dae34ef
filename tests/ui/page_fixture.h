// The main window on the in-memory machine and service, with scripted
// answers, for the tests of the operation pages and the tray.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "app/fake_system_calls.h"
#include "app/password_dlg.h"
#include "app/resource.h"
#include "app/resources.h"
#include "app/tarn_dlg.h"
#include "platform/ui/scripted_ui_seam.h"
#include "tests/ui/qt_environment.h"

namespace tarn::ui::testing {

class PageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterShroudkeepResources();
    fake_.drives['c'] = FakeSystemCalls::Drive{DRIVE_FIXED, 0x10000, "", "System", "NTFS", 64ull << 30, 20ull << 30};
    fake_.drives['e'] = FakeSystemCalls::Drive{DRIVE_REMOVABLE, 0x10000, "", "STICK", "FAT32", 8ull << 30, 6ull << 30};
  }
  void TearDown() override {
    dialog_.reset();
    AfxSetMainWnd(nullptr);
    Settle();
  }
  void Open() {
    dialog_ = std::make_unique<CTarnDlg>(fake_);
    AfxSetMainWnd(dialog_.get());
    ASSERT_TRUE(dialog_->Create(IDD_MAIN, nullptr));
  }
  void Choose(char letter) { dialog_->SendMessage(WM_COMMAND, ID_DRIVE_BASE + static_cast<UINT>(letter), 0); }
  void Click(CWnd& page, int id) { page.SendMessage(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }
  std::string Text(CWnd& page, int id) { return page.GetDlgItem(id)->GetWindowText(); }
  bool Enabled(CWnd& page, int id) { return page.GetDlgItem(id)->IsWindowEnabled(); }
  // Types the password (twice for a new one) and presses OK.
  void AnswerPassword(const std::string& password) {
    seam_.dialogActions.push_back([password](CDialog& d) {
      TypeText(d, IDC_PASSWORD, password);
      if (d.GetDlgItem(IDC_CONFIRM)) TypeText(d, IDC_CONFIRM, password);
      d.SendMessage(WM_COMMAND, IDOK, 0);
    });
  }
  void CancelDialog() {
    seam_.dialogActions.push_back([](CDialog& d) { d.SendMessage(WM_COMMAND, IDCANCEL, 0); });
  }
  std::vector<std::string> Messages() const {
    std::vector<std::string> texts;
    for (const auto& m : seam_.messageBoxes) texts.push_back(m.text);
    return texts;
  }
  std::vector<std::string> Ops() const {
    std::vector<std::string> ops;
    for (const auto& c : fake_.calls) ops.push_back(c.op);
    return ops;
  }

  FakeSystemCalls fake_;
  ScriptedUiSeam seam_;
  std::unique_ptr<CTarnDlg> dialog_;
};

}  // namespace tarn::ui::testing
