#include "platform/ui/wnd_widget.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>

#include "platform/ui/dialog.h"

namespace tarn::ui {

WndWidget::WndWidget(CWnd* owner, QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags), m_owner(owner) {
  setMouseTracking(true);
}

void WndWidget::paintEvent(QPaintEvent*) {
  if (!m_owner) return;
  QPainter painter(this);
  CWnd* owner = m_owner;
  owner->SetCurrentPainter(&painter);
  owner->SendMessage(WM_ERASEBKGND, 0, 0);
  owner->SendMessage(WM_PAINT, 0, 0);
  if (m_owner == owner) owner->SetCurrentPainter(nullptr);
}

void WndWidget::SendMouse(UINT msg, QMouseEvent* event) {
  if (!m_owner) return;
  QPointer<WndWidget> self(this);
  QPoint p = event->position().toPoint();
  m_owner->SendMessage(msg, 0, MAKELPARAM(p.x(), p.y()));
  if (!self || !m_owner || msg != WM_MOUSEMOVE) return;
  // The window picks its cursor after each move, as WM_SETCURSOR does.
  SetCursorTarget(this);
  if (!m_owner->SendMessage(WM_SETCURSOR, reinterpret_cast<WPARAM>(m_owner->GetSafeHwnd()), 1) && self) unsetCursor();
  SetCursorTarget(nullptr);
}

void WndWidget::mouseMoveEvent(QMouseEvent* event) { SendMouse(WM_MOUSEMOVE, event); }

void WndWidget::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) SendMouse(WM_LBUTTONDOWN, event);
  if (event->button() == Qt::RightButton) SendMouse(WM_RBUTTONDOWN, event);
}

void WndWidget::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) SendMouse(WM_LBUTTONUP, event);
  if (event->button() == Qt::RightButton) SendMouse(WM_RBUTTONUP, event);
}

void WndWidget::mouseDoubleClickEvent(QMouseEvent* event) {
  // A second click of a double click reaches the window as another press.
  if (event->button() == Qt::LeftButton) SendMouse(WM_LBUTTONDOWN, event);
}

void WndWidget::keyPressEvent(QKeyEvent* event) {
  auto* dialog = dynamic_cast<CDialog*>(m_owner);
  // Pages pass keys on to the dialog that holds them.
  if (!dialog || (dialog->GetStyle() & WS_CHILD)) {
    event->ignore();
    return;
  }
  switch (event->key()) {
    case Qt::Key_Escape:
      dialog->SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      dialog->SendMessage(WM_COMMAND, MAKEWPARAM(dialog->GetDefaultId(), BN_CLICKED), 0);
      break;
    default:
      event->ignore();
      break;
  }
}

void WndWidget::closeEvent(QCloseEvent* event) {
  // The close box is a WM_CLOSE: the window decides.
  event->ignore();
  if (m_owner) m_owner->SendMessage(WM_CLOSE, 0, 0);
}

void WndWidget::resizeEvent(QResizeEvent*) {
  if (m_owner) m_owner->SendMessage(WM_SIZE, 0, MAKELPARAM(width(), height()));
}

void WndWidget::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && m_owner && isWindow() && (windowState() & Qt::WindowMinimized))
    m_owner->SendMessage(WM_SYSCOMMAND, SC_MINIMIZE, 0);
}

void WndWidget::contextMenuEvent(QContextMenuEvent* event) {
  auto* dialog = dynamic_cast<CDialog*>(m_owner);
  if (!dialog || !isWindow()) {
    event->ignore();
    return;
  }
  // Window managers keep their own system menu; the program's additions
  // to it are offered on the window's context menu.
  CMenu* menu = dialog->GetSystemMenu(FALSE);
  if (!menu || menu->GetMenuItemCount() <= 0) return;
  UINT id = static_cast<UINT>(menu->TrackPopupMenu(TPM_RETURNCMD, event->globalPos().x(), event->globalPos().y(), dialog));
  if (id != 0) dialog->SendMessage(WM_SYSCOMMAND, id, 0);
}

}  // namespace tarn::ui
