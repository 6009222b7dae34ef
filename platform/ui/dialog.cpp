#include "platform/ui/dialog.h"

#include <QEventLoop>
#include <QPalette>
#include <QTimer>

#include "platform/ui/gdi.h"
#include "platform/ui/ui_seam.h"
#include "platform/ui/wnd_widget.h"

CDialog::~CDialog() {
  if (m_loop) m_loop->quit();
}

QWidget* CDialog::CreateOwnWidget(QWidget* parent) {
  const DLGTEMPLATE* tmpl = tarn::ui::FindDialogTemplate(m_idd);
  DWORD style = tmpl ? tmpl->style : WS_POPUP;
  if (style & WS_CHILD) return new tarn::ui::WndWidget(this, parent);
  Qt::WindowFlags flags = Qt::Dialog;
  if (!(style & WS_CAPTION)) {
    flags |= Qt::FramelessWindowHint;
  } else {
    flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (style & WS_SYSMENU) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (style & WS_MINIMIZEBOX) flags |= Qt::WindowMinimizeButtonHint;
  }
  return new tarn::ui::WndWidget(this, parent, flags);
}

BOOL CDialog::Create(UINT idd, CWnd* parent) {
  if (m_hWnd) return FALSE;
  if (idd) m_idd = idd;
  if (parent) m_pParentWnd = parent;
  const DLGTEMPLATE* tmpl = tarn::ui::FindDialogTemplate(m_idd);
  if (!tmpl) return FALSE;
  QFont font = tarn::ui::DialogFont(tmpl->fontFace, tmpl->fontSize);
  m_units = tarn::ui::DialogBaseUnits(font);
  QWidget* parentWidget = m_pParentWnd ? m_pParentWnd->GetQWidget() : nullptr;
  bool child = (tmpl->style & WS_CHILD) != 0;
  // A popup is owned by a top-level window, as on Windows, where a child
  // named as owner stands for its top-level ancestor. So a page that owns a
  // dialog may be disabled while it is up without disabling the dialog too.
  if (!child && parentWidget) parentWidget = parentWidget->window();
  QWidget* widget = CreateOwnWidget(parentWidget);
  widget->setFont(font);
  RECT size = MapDialogRect(RECT{0, 0, tmpl->cx, tmpl->cy});
  // A popup is owned by its parent, not one of its children.
  AttachWidget(widget, ControlKind::Dialog, child ? m_pParentWnd : nullptr, m_idd, tmpl->style & ~WS_VISIBLE, tmpl->exStyle);
  m_parent = m_pParentWnd;
  if (child)
    widget->resize(size.right, size.bottom);
  else
    widget->setFixedSize(size.right, size.bottom);
  // An owned popup holds its owner while it is up, as the modal loops of
  // the program expect.
  if (!child && m_pParentWnd) widget->setWindowModality(Qt::WindowModal);
  widget->setWindowTitle(QString::fromStdString(tmpl->caption));
  widget->setProperty("windowText", QString::fromStdString(tmpl->caption));
  for (const DLGITEMTEMPLATE& item : tmpl->items) tarn::ui::CreateTemplateControl(item, this, m_units, font);
  m_ended = false;
  m_nModalResult = -1;
  OnInitDialog();
  if (m_hWnd && (tmpl->style & WS_VISIBLE)) widget->show();
  return m_hWnd != nullptr;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

INT_PTR CDialog::DoModal() {
  if (!Create(m_idd, m_pParentWnd)) return -1;
  CWnd* owner = m_pParentWnd;
  CenterWindow(owner);
  ShowWindow(SW_SHOWNORMAL);
  HWND ownerHandle = owner ? owner->GetSafeHwnd() : nullptr;
  if (owner) owner->EnableWindow(FALSE);
  int result = RunModalLoop();
  if (CWnd* stillThere = CWnd::FromHandle(ownerHandle)) stillThere->EnableWindow(TRUE);
  DestroyWindow();
  return result;
}

int CDialog::RunModalLoop() {
  if (m_ended || !m_hWnd) return m_nModalResult;
  QEventLoop loop;
  m_loop = &loop;
  HWND self = m_hWnd;
  // Tests answer dialogs from inside their loop, as a person would.
  QTimer::singleShot(0, [self] {
    if (auto* dialog = dynamic_cast<CDialog*>(CWnd::FromHandle(self)); dialog && dialog->IsModalLoopRunning())
      tarn::ui::CurrentUiSeam().ModalLoopStarted(*dialog);
  });
  loop.exec();
  m_loop = nullptr;
  return m_nModalResult;
}

void CDialog::EndDialog(int result) {
  m_nModalResult = result;
  m_ended = true;
  if (m_widget && !(m_style & WS_CHILD)) m_widget->hide();
  if (m_loop) m_loop->quit();
}

void CDialog::OnOK() {
  if (!UpdateData(TRUE)) return;
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (CWnd::OnCommand(wParam, lParam)) return TRUE;
  switch (LOWORD(wParam)) {
    case IDOK:
      OnOK();
      return TRUE;
    case IDCANCEL:
      OnCancel();
      return TRUE;
    default:
      return FALSE;
  }
}

LRESULT CDialog::DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_CLOSE) {
    SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return 0;
  }
  return CWnd::DefWindowProc(msg, wParam, lParam);
}

void CDialog::DestroyWindow() {
  if (m_loop) EndDialog(m_nModalResult);
  CWnd::DestroyWindow();
}

void CDialog::SetDlgItemText(int id, const std::string& text) {
  if (CWnd* item = GetDlgItem(id)) item->SetWindowText(text);
}

std::string CDialog::GetDlgItemText(int id) const {
  CWnd* item = GetDlgItem(id);
  return item ? item->GetWindowText() : std::string();
}

void CDialog::SetBackgroundPattern(HBITMAP bitmap) {
  if (!m_widget) return;
  QPixmap pattern = tarn::ui::BitmapFromHandle(bitmap);
  if (pattern.isNull()) return;
  QPalette palette = m_widget->palette();
  palette.setBrush(QPalette::Window, QBrush(pattern));
  m_widget->setPalette(palette);
  m_widget->setAutoFillBackground(true);
}

int CDialog::GetDefaultId() const {
  if (const DLGTEMPLATE* tmpl = tarn::ui::FindDialogTemplate(m_idd))
    for (const DLGITEMTEMPLATE& item : tmpl->items)
      if (item.kind == ControlKind::PushButton && (item.style & BS_DEFPUSHBUTTON)) return item.id;
  return IDOK;
}

CMenu* CDialog::GetSystemMenu(BOOL revert) {
  if (revert || !m_systemMenu.Data()) m_systemMenu.CreatePopupMenu();
  return &m_systemMenu;
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
  CDataExchange dx(this, saveAndValidate);
  try {
    DoDataExchange(&dx);
  } catch (const CDataExchange*) {
    return FALSE;
  }
  return TRUE;
}
