// The Qt widget behind a CWnd of its own class or a dialog: turns Qt's
// events into the window's messages.
#pragma once

#include <QWidget>

#include "platform/ui/wnd.h"

namespace tarn::ui {

class WndWidget : public QWidget {
 public:
  WndWidget(CWnd* owner, QWidget* parent, Qt::WindowFlags flags = {});
  void Detach() { m_owner = nullptr; }
  CWnd* Owner() const { return m_owner; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void SendMouse(UINT msg, QMouseEvent* event);
  CWnd* m_owner;
};

}  // namespace tarn::ui
