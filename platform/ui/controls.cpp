#include "platform/ui/controls.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QProgressBar>
#include <algorithm>

QProgressBar* CProgressCtrl::Bar() const {
  CWnd* wnd = CWnd::FromHandle(m_hWnd);
  return wnd ? qobject_cast<QProgressBar*>(wnd->GetQWidget()) : nullptr;
}

void CProgressCtrl::SetRange(int lower, int upper) {
  if (QProgressBar* bar = Bar()) bar->setRange(lower, upper);
}

void CProgressCtrl::GetRange(int& lower, int& upper) const {
  lower = upper = 0;
  if (QProgressBar* bar = Bar()) {
    lower = bar->minimum();
    upper = bar->maximum();
  }
}

int CProgressCtrl::SetStep(int step) {
  int old = m_step;
  m_step = step;
  return old;
}

int CProgressCtrl::SetPos(int pos) {
  QProgressBar* bar = Bar();
  if (!bar) return 0;
  int old = bar->value();
  // The control clamps to its range, as a Windows progress bar does.
  bar->setValue(std::clamp(pos, bar->minimum(), bar->maximum()));
  return old;
}

int CProgressCtrl::GetPos() const {
  QProgressBar* bar = Bar();
  return bar ? bar->value() : 0;
}

void CProgressCtrl::RedrawWindow(UINT flags) {
  QProgressBar* bar = Bar();
  if (!bar) return;
  if (flags & RDW_UPDATENOW)
    bar->repaint();
  else
    bar->update();
}

QComboBox* CComboBox::Box() const {
  CWnd* wnd = CWnd::FromHandle(m_hWnd);
  return wnd ? qobject_cast<QComboBox*>(wnd->GetQWidget()) : nullptr;
}

void CComboBox::ResetContent() {
  if (QComboBox* box = Box()) box->clear();
}

int CComboBox::AddString(const std::string& text) { return InsertString(-1, text); }

int CComboBox::InsertString(int index, const std::string& text) {
  QComboBox* box = Box();
  if (!box) return CB_ERR;
  // Inserting into a list leaves the selection alone, as CB_INSERTSTRING does.
  QSignalBlocker quiet(box);
  int at = index < 0 || index > box->count() ? box->count() : index;
  int selected = box->currentIndex();
  box->insertItem(at, QString::fromStdString(text));
  box->setCurrentIndex(selected < 0 ? -1 : (selected >= at ? selected + 1 : selected));
  return at;
}

int CComboBox::GetCount() const {
  QComboBox* box = Box();
  return box ? box->count() : 0;
}

int CComboBox::GetCurSel() const {
  QComboBox* box = Box();
  return box ? box->currentIndex() : CB_ERR;
}

int CComboBox::SetCurSel(int index) {
  QComboBox* box = Box();
  if (!box) return CB_ERR;
  QSignalBlocker quiet(box);
  if (index < 0 || index >= box->count()) {
    box->setCurrentIndex(-1);
    return CB_ERR;
  }
  box->setCurrentIndex(index);
  return index;
}

std::string CComboBox::GetLBText(int index) const {
  QComboBox* box = Box();
  return box && index >= 0 && index < box->count() ? box->itemText(index).toStdString() : std::string();
}

std::string CComboBox::GetWindowText() const {
  QComboBox* box = Box();
  return box ? box->currentText().toStdString() : std::string();
}

int GetCheck(CWnd* button) {
  auto* b = button ? qobject_cast<QAbstractButton*>(button->GetQWidget()) : nullptr;
  return b && b->isChecked() ? BST_CHECKED : BST_UNCHECKED;
}

void SetCheck(CWnd* button, int state) {
  if (auto* b = button ? qobject_cast<QAbstractButton*>(button->GetQWidget()) : nullptr) b->setChecked(state != 0);
}
