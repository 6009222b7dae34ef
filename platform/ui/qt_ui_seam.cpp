// The seam of normal runs: real Qt dialogs, menus and the desktop's handler.
#include <QDesktopServices>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QUrl>
#include <memory>

#include "platform/ui/dialog.h"
#include "platform/ui/menu.h"
#include "platform/ui/ui_seam.h"

namespace tarn::ui {
namespace {

QWidget* OwnerWidget(HWND owner) {
  CWnd* wnd = CWnd::FromHandle(owner);
  return wnd ? wnd->GetQWidget() : nullptr;
}

void AddMenuItems(QMenu& target, const MenuData& menu, UINT* chosen, std::vector<std::unique_ptr<QMenu>>& owned) {
  for (const MenuItem& item : menu.items) {
    if (item.flags & MF_SEPARATOR) {
      target.addSeparator();
    } else if (item.flags & MF_POPUP) {
      auto sub = std::make_unique<QMenu>(QString::fromStdString(item.text));
      if (item.popup) AddMenuItems(*sub, *item.popup, chosen, owned);
      target.addMenu(sub.get());
      owned.push_back(std::move(sub));
    } else {
      QAction* action = target.addAction(QString::fromStdString(item.text));
      action->setEnabled(!(item.flags & MF_GRAYED));
      UINT id = item.id;
      QObject::connect(action, &QAction::triggered, [chosen, id] { *chosen = id; });
    }
  }
}

class QtUiSeam : public UiSeam {
 public:
  int MessageBox(HWND owner, const std::string& text, const std::string& caption, UINT type) override {
    QMessageBox box(OwnerWidget(owner));
    box.setWindowTitle(QString::fromStdString(caption));
    box.setText(QString::fromStdString(text));
    switch (type & MB_ICONMASK) {
      case MB_ICONHAND: box.setIcon(QMessageBox::Critical); break;
      case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
      case MB_ICONEXCLAMATION: box.setIcon(QMessageBox::Warning); break;
      case MB_ICONASTERISK: box.setIcon(QMessageBox::Information); break;
      default: break;
    }
    struct Choice {
      const char* text;
      int id;
    };
    std::vector<Choice> choices;
    switch (type & MB_TYPEMASK) {
      case MB_OKCANCEL: choices = {{"OK", IDOK}, {"Cancel", IDCANCEL}}; break;
      case MB_ABORTRETRYIGNORE: choices = {{"&Abort", IDABORT}, {"&Retry", IDRETRY}, {"&Ignore", IDIGNORE}}; break;
      case MB_YESNOCANCEL: choices = {{"&Yes", IDYES}, {"&No", IDNO}, {"Cancel", IDCANCEL}}; break;
      case MB_YESNO: choices = {{"&Yes", IDYES}, {"&No", IDNO}}; break;
      case MB_RETRYCANCEL: choices = {{"&Retry", IDRETRY}, {"Cancel", IDCANCEL}}; break;
      default: choices = {{"OK", IDOK}}; break;
    }
    size_t defIndex = ((type & MB_DEFMASK) >> 8);
    if (defIndex >= choices.size()) defIndex = 0;
    std::vector<QPushButton*> buttons;
    for (const Choice& c : choices) buttons.push_back(box.addButton(QString::fromUtf8(c.text), QMessageBox::ActionRole));
    box.setDefaultButton(buttons[defIndex]);
    // Escape answers Cancel where there is one, and OK in a plain box.
    for (size_t i = 0; i < choices.size(); ++i)
      if (choices[i].id == IDCANCEL || choices.size() == 1) box.setEscapeButton(buttons[i]);
    box.exec();
    for (size_t i = 0; i < buttons.size(); ++i)
      if (box.clickedButton() == buttons[i]) return choices[i].id;
    return (type & MB_TYPEMASK) == MB_OK ? IDOK : IDCANCEL;
  }

  int FileDialog(HWND owner, const FileDialogRequest& request, std::string* path) override {
    QString filter = QString::fromStdString(QtFilterFromWindows(request.filter));
    QString name = QString::fromStdString(request.initialName);
    QString chosen = request.open ? QFileDialog::getOpenFileName(OwnerWidget(owner), QString(), name, filter)
                                  : QFileDialog::getSaveFileName(OwnerWidget(owner), QString(), name, filter);
    if (chosen.isEmpty()) return IDCANCEL;
    if (!request.open && !request.defaultExt.empty() && !chosen.section('/', -1).contains('.'))
      chosen += "." + QString::fromStdString(request.defaultExt);
    *path = chosen.toStdString();
    return IDOK;
  }

  UINT TrackPopupMenu(const MenuData& menu, POINT at, HWND) override {
    QMenu qmenu;
    UINT chosen = 0;
    std::vector<std::unique_ptr<QMenu>> owned;
    AddMenuItems(qmenu, menu, &chosen, owned);
    qmenu.exec(QPoint(at.x, at.y));
    return chosen;
  }

  INT_PTR ShellExecute(HWND, const std::string&, const std::string& file, const std::string& parameters) override {
    std::string target = parameters.empty() ? file : parameters;
    QUrl url = QUrl::fromUserInput(QString::fromStdString(target));
    return QDesktopServices::openUrl(url) ? 42 : 2;
  }
};

UiSeam* g_seam = nullptr;

}  // namespace

UiSeam& CurrentUiSeam() {
  static QtUiSeam qtSeam;
  return g_seam ? *g_seam : qtSeam;
}

void SetUiSeam(UiSeam* seam) { g_seam = seam; }

std::string QtFilterFromWindows(const std::string& filter) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : filter) {
    if (c == '|' || c == '\0') {
      parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(current);
  std::string out;
  for (size_t i = 0; i + 1 < parts.size(); i += 2) {
    const std::string& label = parts[i];
    std::string patterns = parts[i + 1];
    if (label.empty() || patterns.empty()) continue;
    // Patterns are separated by ';' on Windows and by blanks in Qt.
    std::string qtPatterns;
    size_t start = 0;
    while (start <= patterns.size()) {
      size_t end = patterns.find(';', start);
      if (end == std::string::npos) end = patterns.size();
      std::string p = patterns.substr(start, end - start);
      if (p == "*.*") p = "*";
      if (!p.empty()) qtPatterns += (qtPatterns.empty() ? "" : " ") + p;
      start = end + 1;
    }
    if (qtPatterns.empty()) continue;
    std::string qtLabel = label;
    size_t open = qtLabel.rfind('(');
    if (open != std::string::npos) qtLabel = qtLabel.substr(0, open);
    while (!qtLabel.empty() && qtLabel.back() == ' ') qtLabel.pop_back();
    if (!out.empty()) out += ";;";
    out += qtLabel + " (" + qtPatterns + ")";
  }
  return out;
}

}  // namespace tarn::ui

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  return tarn::ui::CurrentUiSeam().MessageBox(owner, text ? text : "", caption ? caption : "Error", type);
}
