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

QString ButtonText(int id) {
  switch (id) {
    case IDOK: return QStringLiteral("OK");
    case IDCANCEL: return QStringLiteral("Cancel");
    case IDABORT: return QStringLiteral("&Abort");
    case IDRETRY: return QStringLiteral("&Retry");
    case IDIGNORE: return QStringLiteral("&Ignore");
    case IDYES: return QStringLiteral("&Yes");
    case IDNO: return QStringLiteral("&No");
    default: return QString();
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
    MessageBoxButtons layout = DescribeMessageBox(type);
    std::vector<QPushButton*> buttons;
    for (int id : layout.ids) {
      QPushButton* button = box.addButton(ButtonText(id), QMessageBox::ActionRole);
      buttons.push_back(button);
      if (id == layout.defaultId) box.setDefaultButton(button);
      if (id == layout.escapeId) box.setEscapeButton(button);
    }
    box.exec();
    for (size_t i = 0; i < buttons.size(); ++i)
      if (box.clickedButton() == buttons[i]) return layout.ids[i];
    return layout.escapeId ? layout.escapeId : layout.defaultId;
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

MessageBoxButtons DescribeMessageBox(UINT type) {
  MessageBoxButtons layout;
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL: layout.ids = {IDOK, IDCANCEL}; break;
    case MB_ABORTRETRYIGNORE: layout.ids = {IDABORT, IDRETRY, IDIGNORE}; break;
    case MB_YESNOCANCEL: layout.ids = {IDYES, IDNO, IDCANCEL}; break;
    case MB_YESNO: layout.ids = {IDYES, IDNO}; break;
    case MB_RETRYCANCEL: layout.ids = {IDRETRY, IDCANCEL}; break;
    default: layout.ids = {IDOK}; break;
  }
  // A default button beyond the last one falls back to the first.
  size_t defIndex = (type & MB_DEFMASK) >> 8;
  layout.defaultId = layout.ids[defIndex < layout.ids.size() ? defIndex : 0];
  // Escape answers Cancel where there is one, OK in a plain box, and
  // nothing where neither exists (Yes/No, Abort/Retry/Ignore).
  layout.escapeId = 0;
  for (int id : layout.ids)
    if (id == IDCANCEL) layout.escapeId = IDCANCEL;
  if (layout.ids.size() == 1) layout.escapeId = IDOK;
  return layout;
}

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
