// The password dialogs with scripted typing: limits, mismatch, cancel.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "app/password_dlg.h"
#include "app/resource.h"
#include "app/resources.h"
#include "platform/ui/scripted_ui_seam.h"
#include "tests/ui/qt_environment.h"

using tarn::ui::PressKey;
using tarn::ui::TypeText;

namespace {

class PasswordDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterShroudkeepResources(); }
  tarn::ui::ScriptedUiSeam seam_;
};

TEST_F(PasswordDialogTest, ThirtyThirdCharacterCannotBeTypedIntoAnyField) {
  const std::string typed(40, 'k');
  seam_.dialogActions.push_back([&](CDialog& d) {
    TypeText(d, IDC_PASSWORD, typed);
    d.SendMessage(WM_COMMAND, IDOK, 0);
  });
  CPasswordDlg single;
  ASSERT_EQ(single.DoModal(), IDOK);
  EXPECT_EQ(single.GetPassword(), std::string(32, 'k'));

  seam_.dialogActions.push_back([&](CDialog& d) {
    TypeText(d, IDC_PASSWORD, typed);
    TypeText(d, IDC_CONFIRM, typed + "x");
    d.SendMessage(WM_COMMAND, IDOK, 0);
  });
  CEncryptPasswordDlg twice;
  ASSERT_EQ(twice.DoModal(), IDOK) << "both fields stop at 32, so they agree";
  EXPECT_EQ(twice.GetPassword(), std::string(32, 'k'));
  EXPECT_TRUE(seam_.messageBoxes.empty());
  EXPECT_TRUE(seam_.unexpected.empty());
}

TEST_F(PasswordDialogTest, ConfirmationDifferingInCaseIsRefusedAndTheDialogStaysOpen) {
  bool stayedOpen = false;
  seam_.dialogActions.push_back([&](CDialog& d) {
    TypeText(d, IDC_PASSWORD, "Secret");
    TypeText(d, IDC_CONFIRM, "secret");
    d.SendMessage(WM_COMMAND, IDOK, 0);
    stayedOpen = d.IsModalLoopRunning() && d.GetEndCode() == -1;
    EXPECT_EQ(d.GetDlgItemText(IDC_PASSWORD), "Secret") << "fields are kept as typed";
    EXPECT_EQ(d.GetDlgItemText(IDC_CONFIRM), "secret");
    // Closing after the mismatch cancels.
    PressKey(d, Qt::Key_Escape);
  });
  CEncryptPasswordDlg dialog;
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  EXPECT_TRUE(stayedOpen);
  ASSERT_EQ(seam_.messageBoxes.size(), 1u);
  EXPECT_EQ(seam_.messageBoxes[0].text, kPasswordMismatchText);
  EXPECT_EQ(seam_.messageBoxes[0].caption, AfxGetAppName());
  EXPECT_EQ(seam_.messageBoxes[0].type & MB_TYPEMASK, static_cast<UINT>(MB_OK));
}

TEST_F(PasswordDialogTest, MismatchCorrectedThenAcceptedWithEnter) {
  seam_.dialogActions.push_back([&](CDialog& d) {
    TypeText(d, IDC_PASSWORD, "abc");
    TypeText(d, IDC_CONFIRM, "abd");
    PressKey(d, Qt::Key_Return);
    d.SetDlgItemText(IDC_CONFIRM, "");
    TypeText(d, IDC_CONFIRM, "abc");
    PressKey(d, Qt::Key_Return);
  });
  CEncryptPasswordDlg dialog;
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_EQ(dialog.GetPassword(), "abc");
  EXPECT_EQ(seam_.messageBoxes.size(), 1u);
}

TEST_F(PasswordDialogTest, CancelAndCloseBoxEndWithCancelAndEmptyPasswordsAreAccepted) {
  struct Case {
    const char* name;
    std::function<void(CDialog&)> act;
    int expected;
  } cases[] = {
      {"escape", [](CDialog& d) { PressKey(d, Qt::Key_Escape); }, IDCANCEL},
      {"close box", [](CDialog& d) { d.SendMessage(WM_CLOSE, 0, 0); }, IDCANCEL},
      {"empty ok", [](CDialog& d) { d.SendMessage(WM_COMMAND, IDOK, 0); }, IDOK},
  };
  for (const Case& c : cases) {
    seam_.dialogActions.push_back(c.act);
    CPasswordDlg single;
    EXPECT_EQ(single.DoModal(), c.expected) << c.name;
    EXPECT_EQ(single.GetPassword(), "") << c.name;
    seam_.dialogActions.push_back(c.act);
    CEncryptPasswordDlg twice;
    EXPECT_EQ(twice.DoModal(), c.expected) << c.name;
  }
  EXPECT_TRUE(seam_.messageBoxes.empty());
  EXPECT_EQ(seam_.dialogsShown,
            (std::vector<UINT>{IDD_PASSWORD, IDD_ENCRYPTPASSWORD, IDD_PASSWORD, IDD_ENCRYPTPASSWORD, IDD_PASSWORD,
                               IDD_ENCRYPTPASSWORD}));
}

}  // namespace
