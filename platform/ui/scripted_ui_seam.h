// A seam for tests: message boxes, file dialogs, popup menus and modal
// dialogs are answered from a script, and every question is recorded. A
// question the script did not expect is answered with Cancel (or No) and
// recorded in unexpected, so a test never hangs on it.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/ui/dialog.h"
#include "platform/ui/menu.h"
#include "platform/ui/ui_seam.h"

namespace tarn::ui {

class ScriptedUiSeam : public UiSeam {
 public:
  struct MessageBoxCall {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
  };
  using DialogAction = std::function<void(CDialog&)>;

  ScriptedUiSeam() { SetUiSeam(this); }
  ~ScriptedUiSeam() override { SetUiSeam(nullptr); }

  int MessageBox(HWND owner, const std::string& text, const std::string& caption, UINT type) override;
  int FileDialog(HWND owner, const FileDialogRequest& request, std::string* path) override;
  UINT TrackPopupMenu(const MenuData& menu, POINT at, HWND owner) override;
  INT_PTR ShellExecute(HWND owner, const std::string& verb, const std::string& file, const std::string& parameters) override;
  void ModalLoopStarted(CDialog& dialog) override;

  // Answers, used in order.
  std::deque<int> messageBoxAnswers;
  std::deque<std::pair<int, std::string>> fileAnswers;
  std::deque<UINT> menuAnswers;
  // Run inside the next modal dialog's loop; it should end the dialog.
  std::deque<DialogAction> dialogActions;

  // What was asked.
  std::vector<MessageBoxCall> messageBoxes;
  std::vector<FileDialogRequest> fileRequests;
  std::vector<MenuData> menusShown;
  std::vector<std::string> shellOpened;
  std::vector<UINT> dialogsShown;  // template ids
  std::vector<std::string> unexpected;
};

// Types text into an edit control key by key, as a person would (so the
// control's limit applies).
void TypeText(CDialog& dialog, int id, const std::string& text);
// Presses a key on the dialog window (Escape, Return).
void PressKey(CDialog& dialog, int qtKey);

}  // namespace tarn::ui
