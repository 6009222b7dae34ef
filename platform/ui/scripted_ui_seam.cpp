#include "platform/ui/scripted_ui_seam.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>

namespace tarn::ui {

int ScriptedUiSeam::MessageBox(HWND owner, const std::string& text, const std::string& caption, UINT type) {
  messageBoxes.push_back({owner, text, caption, type});
  if (!messageBoxAnswers.empty()) {
    int answer = messageBoxAnswers.front();
    messageBoxAnswers.pop_front();
    return answer;
  }
  switch (type & MB_TYPEMASK) {
    case MB_OK:
      return IDOK;
    case MB_YESNO:
      unexpected.push_back("message box: " + text);
      return IDNO;
    default:
      unexpected.push_back("message box: " + text);
      return IDCANCEL;
  }
}

int ScriptedUiSeam::FileDialog(HWND, const FileDialogRequest& request, std::string* path) {
  fileRequests.push_back(request);
  if (fileAnswers.empty()) {
    unexpected.push_back("file dialog");
    return IDCANCEL;
  }
  auto [result, chosen] = fileAnswers.front();
  fileAnswers.pop_front();
  if (result == IDOK) *path = chosen;
  return result;
}

UINT ScriptedUiSeam::TrackPopupMenu(const MenuData& menu, POINT, HWND) {
  menusShown.push_back(menu);
  if (menuAnswers.empty()) return 0;
  UINT answer = menuAnswers.front();
  menuAnswers.pop_front();
  return answer;
}

INT_PTR ScriptedUiSeam::ShellExecute(HWND, const std::string& verb, const std::string& file,
                                     const std::string& parameters) {
  shellOpened.push_back(verb + " " + file + (parameters.empty() ? "" : " " + parameters));
  return 42;
}

void ScriptedUiSeam::ModalLoopStarted(CDialog& dialog) {
  dialogsShown.push_back(dialog.GetTemplateId());
  if (dialogActions.empty()) {
    unexpected.push_back("dialog " + std::to_string(dialog.GetTemplateId()));
    dialog.EndDialog(IDCANCEL);
    return;
  }
  DialogAction action = std::move(dialogActions.front());
  dialogActions.pop_front();
  action(dialog);
}

void TypeText(CDialog& dialog, int id, const std::string& text) {
  CWnd* ctrl = dialog.GetDlgItem(id);
  if (!ctrl) return;
  QWidget* widget = ctrl->GetQWidget();
  for (char c : text) {
    QString s(QChar::fromLatin1(c));
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, s);
    QCoreApplication::sendEvent(widget, &press);
  }
}

void PressKey(CDialog& dialog, int qtKey) {
  QKeyEvent press(QEvent::KeyPress, qtKey, Qt::NoModifier);
  QCoreApplication::sendEvent(dialog.GetQWidget(), &press);
}

}  // namespace tarn::ui
