// The desktop program's main window on a live machine: tarnhost on a
// temporary machine directory with its default drives (C: system, D: empty
// CD/DVD, E: fixed FAT32, F: removable FAT), tarnsvc started by its control
// manager, and the window in this process calling both for real. What the
// window did is checked through tarnctl, the backing files and the
// machine's registry, not only through the window.
#pragma once

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/pages.h"
#include "app/password_dlg.h"
#include "app/real_system_calls.h"
#include "app/resource.h"
#include "app/resources.h"
#include "app/tarn_dlg.h"
#include "platform/ui/scripted_ui_seam.h"
#include "tests/service_e2e/service_machine.h"
#include "tests/ui/qt_environment.h"

namespace tarn::ui::testing {

class LiveWindowTest : public tarn::svce2e::ServiceMachine {
 protected:
  void SetUp() override {
    ServiceMachine::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    RegisterShroudkeepResources();
    system_ = std::make_unique<RealSystemCalls>();
    dialog_ = std::make_unique<CTarnDlg>(*system_);
    AfxSetMainWnd(dialog_.get());
    ASSERT_TRUE(dialog_->Create(IDD_MAIN, nullptr));
  }
  void TearDown() override {
    dialog_.reset();
    system_.reset();
    AfxSetMainWnd(nullptr);
    Settle();
    ServiceMachine::TearDown();
  }

  // The captions of the navigation panel's drive group.
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
  void Choose(char letter) { dialog_->SendMessage(WM_COMMAND, ID_DRIVE_BASE + static_cast<UINT>(letter), 0); }
  void Click(CWnd& page, int id) { page.SendMessage(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }
  static std::string Text(CWnd& page, int id) { return page.GetDlgItem(id)->GetWindowText(); }

  // Types the password (twice where the dialog asks for a new one) and presses OK.
  void AnswerPassword(const std::string& password) {
    seam_.dialogActions.push_back([password](CDialog& d) {
      TypeText(d, IDC_PASSWORD, password);
      if (d.GetDlgItem(IDC_CONFIRM)) TypeText(d, IDC_CONFIRM, password);
      d.SendMessage(WM_COMMAND, IDOK, 0);
    });
  }
  std::string LastBox() const { return seam_.messageBoxes.empty() ? "" : seam_.messageBoxes.back().text; }

  // Ticks a page's progress timer until its conversion has ended; a guard
  // against a hang only.
  bool PollToEnd(CWnd& page, UINT_PTR timer, const std::function<bool()>& converting) {
    for (int i = 0; i < 6000 && converting(); ++i) {
      page.SendMessage(WM_TIMER, timer, 0);
      QThread::msleep(20);
    }
    return !converting();
  }
  // Runs the event loop (device events arrive through it) until done()
  // holds; a guard against a hang only.
  static bool WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 1500; ++i) {
      if (done()) return true;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      QThread::msleep(10);
    }
    return done();
  }

  // The status word of a drive as tarnctl reports it, -1 when it has none.
  long CtlStatus(char letter) {
    const auto run = Ctl({"status", std::string(1, letter) + ":", "--json"});
    const size_t at = run.output.find("\"status\": ");
    return at == std::string::npos ? -1 : std::stol(run.output.substr(at + 10));
  }

  ScriptedUiSeam seam_;
  std::unique_ptr<RealSystemCalls> system_;
  std::unique_ptr<CTarnDlg> dialog_;
};

}  // namespace tarn::ui::testing
