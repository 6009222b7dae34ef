#include "platform/ui/dialog_template.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <map>

#include "platform/ui/control_text.h"
#include "platform/ui/gdi.h"

namespace tarn::ui {
namespace {

std::map<UINT, DLGTEMPLATE>& Templates() {
  static std::map<UINT, DLGTEMPLATE> templates;
  return templates;
}

// A static shows "&&" as "&" and hides a single "&" (the mnemonic mark).
QString StaticText(const std::string& text) {
  QString out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      if (i + 1 < text.size() && text[i + 1] == '&') {
        out += '&';
        ++i;
      }
      continue;
    }
    out += QChar::fromLatin1(text[i]);
  }
  return out;
}

}  // namespace

void RegisterDialogTemplate(const DLGTEMPLATE& tmpl) { Templates()[tmpl.id] = tmpl; }

const DLGTEMPLATE* FindDialogTemplate(UINT id) {
  auto it = Templates().find(id);
  return it == Templates().end() ? nullptr : &it->second;
}

BaseUnits DialogBaseUnits(const QFont& font) {
  QFontMetrics metrics(font);
  int width = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return BaseUnits{(width / 26 + 1) / 2, metrics.height()};
}

RECT MapDialogRect(const RECT& du, BaseUnits units) {
  return RECT{MulDiv(du.left, units.cx, 4), MulDiv(du.top, units.cy, 8), MulDiv(du.right, units.cx, 4),
              MulDiv(du.bottom, units.cy, 8)};
}

CWnd* CreateTemplateControl(const DLGITEMTEMPLATE& item, CWnd* parent, BaseUnits units, const QFont& font) {
  QWidget* host = parent->GetQWidget();
  QWidget* widget = nullptr;
  DWORD style = item.style | WS_CHILD | (item.hidden ? 0 : WS_VISIBLE);
  switch (item.kind) {
    case ControlKind::Static: {
      auto* label = new QLabel(host);
      DWORD type = item.style & SS_TYPEMASK;
      label->setWordWrap(type != SS_LEFTNOWORDWRAP);
      Qt::Alignment align = Qt::AlignLeft;
      if (type == SS_CENTER) align = Qt::AlignHCenter;
      if (type == SS_RIGHT) align = Qt::AlignRight;
      label->setAlignment(align | ((item.style & SS_CENTERIMAGE) ? Qt::AlignVCenter : Qt::AlignTop));
      widget = label;
      break;
    }
    case ControlKind::StaticBitmap: {
      auto* label = new QLabel(host);
      label->setScaledContents(true);
      if (HBITMAP bitmap = LoadBitmap(item.image)) label->setPixmap(BitmapFromHandle(bitmap));
      widget = label;
      break;
    }
    case ControlKind::StaticFrame: {
      auto* frame = new QFrame(host);
      frame->setFrameShape(QFrame::Box);
      frame->setFrameShadow(QFrame::Sunken);
      widget = frame;
      break;
    }
    case ControlKind::GroupBox:
      widget = new QGroupBox(host);
      break;
    case ControlKind::Edit: {
      auto* edit = new QLineEdit(host);
      if (item.style & ES_PASSWORD) edit->setEchoMode(QLineEdit::Password);
      widget = edit;
      break;
    }
    case ControlKind::PushButton: {
      auto* button = new QPushButton(host);
      button->setAutoDefault(false);
      if (item.style & BS_DEFPUSHBUTTON) button->setDefault(true);
      widget = button;
      break;
    }
    case ControlKind::CheckBox:
      widget = new QCheckBox(host);
      break;
    case ControlKind::RadioButton:
      widget = new QRadioButton(host);
      break;
    case ControlKind::ComboDropList:
      widget = new QComboBox(host);
      break;
    case ControlKind::Progress: {
      auto* bar = new QProgressBar(host);
      bar->setRange(0, 100);
      bar->setValue(0);
      bar->setTextVisible(false);
      widget = bar;
      break;
    }
    case ControlKind::Window:
    case ControlKind::Dialog:
      widget = new QWidget(host);
      break;
  }
  widget->setFont(font);
  RECT r = MapDialogRect(RECT{item.x, item.y, item.x + item.cx, item.y + item.cy}, units);
  int height = r.bottom - r.top;
  // A drop-down list's template height includes its open list; closed, it
  // is one line high.
  if (item.kind == ControlKind::ComboDropList) height = std::min(height, widget->sizeHint().height());
  widget->setGeometry(r.left, r.top, r.right - r.left, height);
  auto* wnd = new CControlWnd(widget, item.kind, parent, static_cast<UINT>(item.id), style, 0);
  SetControlText(wnd, item.text);
  // Buttons tell their dialog, as BN_CLICKED in WM_COMMAND.
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    HWND self = wnd->GetSafeHwnd();
    HWND owner = parent->GetSafeHwnd();
    int id = item.id;
    QObject::connect(button, &QAbstractButton::clicked, [self, owner, id] {
      ::SendMessage(owner, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(self));
    });
  }
  // Edits report changes of their text (EN_CHANGE), drop-down lists a
  // selection made by the user (CBN_SELCHANGE), both in WM_COMMAND.
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    HWND self = wnd->GetSafeHwnd();
    HWND owner = parent->GetSafeHwnd();
    int id = item.id;
    QObject::connect(edit, &QLineEdit::textChanged, [self, owner, id] {
      ::SendMessage(owner, WM_COMMAND, MAKEWPARAM(id, EN_CHANGE), reinterpret_cast<LPARAM>(self));
    });
  }
  if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    HWND self = wnd->GetSafeHwnd();
    HWND owner = parent->GetSafeHwnd();
    int id = item.id;
    QObject::connect(combo, &QComboBox::activated, [self, owner, id] {
      ::SendMessage(owner, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(self));
    });
  }
  widget->setVisible(!item.hidden);
  return wnd;
}

void SetControlText(CWnd* wnd, const std::string& text) {
  QWidget* w = wnd->GetQWidget();
  if (!w) return;
  QString q = QString::fromStdString(text);
  if (w->isWindow()) {
    w->setWindowTitle(q);
  } else if (auto* label = qobject_cast<QLabel*>(w)) {
    if (wnd->GetKind() != ControlKind::StaticBitmap) label->setText(StaticText(text));
  } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
    edit->setText(q);
  } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
    button->setText(q);
  } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
    group->setTitle(StaticText(text));
  } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
    combo->setEditText(q);
  }
  // Windows of their own class keep their text in a property.
  w->setProperty("windowText", q);
}

std::string GetControlText(const CWnd* wnd) {
  QWidget* w = wnd->GetQWidget();
  if (!w) return {};
  if (w->isWindow()) return w->windowTitle().toStdString();
  if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text().toStdString();
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text().toStdString();
  if (auto* combo = qobject_cast<QComboBox*>(w)) return combo->currentText().toStdString();
  return w->property("windowText").toString().toStdString();
}

}  // namespace tarn::ui
