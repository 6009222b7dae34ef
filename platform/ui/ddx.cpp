#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/ui/dialog.h"

namespace tarn::ui {
std::string IntegerPrompt() { return "Please enter an integer."; }
std::string MaxCharsPrompt(int maxChars) { return "Please enter no more than " + std::to_string(maxChars) + " characters."; }
}  // namespace tarn::ui

CWnd* CDataExchange::PrepareCtrl(int id) {
  m_idLastControl = id;
  return m_pDlgWnd->GetDlgItem(id);
}

void CDataExchange::Fail() {
  if (CWnd* ctrl = m_pDlgWnd->GetDlgItem(m_idLastControl)) {
    ctrl->SetFocus();
    if (auto* edit = qobject_cast<QLineEdit*>(ctrl->GetQWidget())) edit->selectAll();
  }
  throw this;
}

void DDX_Text(CDataExchange* pDX, int id, std::string& value) {
  CWnd* ctrl = pDX->PrepareCtrl(id);
  if (!ctrl) return;
  if (pDX->m_bSaveAndValidate)
    value = ctrl->GetWindowText();
  else
    ctrl->SetWindowText(value);
}

void DDX_Text(CDataExchange* pDX, int id, int& value) {
  CWnd* ctrl = pDX->PrepareCtrl(id);
  if (!ctrl) return;
  if (!pDX->m_bSaveAndValidate) {
    ctrl->SetWindowText(std::to_string(value));
    return;
  }
  std::string text = ctrl->GetWindowText();
  size_t start = text.find_first_not_of(" \t");
  size_t end = text.find_last_not_of(" \t");
  std::string trimmed = start == std::string::npos ? std::string() : text.substr(start, end - start + 1);
  char* stop = nullptr;
  errno = 0;
  long parsed = trimmed.empty() ? 0 : std::strtol(trimmed.c_str(), &stop, 10);
  if (trimmed.empty() || *stop != '\0' || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) {
    AfxMessageBox(tarn::ui::IntegerPrompt(), MB_ICONEXCLAMATION);
    pDX->Fail();
  }
  value = static_cast<int>(parsed);
}

void DDX_Check(CDataExchange* pDX, int id, int& value) {
  CWnd* ctrl = pDX->PrepareCtrl(id);
  auto* button = ctrl ? qobject_cast<QAbstractButton*>(ctrl->GetQWidget()) : nullptr;
  if (!button) return;
  if (pDX->m_bSaveAndValidate)
    value = button->isChecked() ? 1 : 0;
  else
    button->setChecked(value != 0);
}

void DDX_CBIndex(CDataExchange* pDX, int id, int& index) {
  CWnd* ctrl = pDX->PrepareCtrl(id);
  auto* combo = ctrl ? qobject_cast<QComboBox*>(ctrl->GetQWidget()) : nullptr;
  if (!combo) return;
  if (pDX->m_bSaveAndValidate)
    index = combo->currentIndex();
  else
    combo->setCurrentIndex(index);
}

void DDX_Radio(CDataExchange* pDX, int id, int& value) {
  CWnd* first = pDX->PrepareCtrl(id);
  if (!first) return;
  // The group runs from the first button over the radio buttons that follow it.
  const auto& children = pDX->m_pDlgWnd->Children();
  auto it = std::find(children.begin(), children.end(), first);
  int index = 0;
  if (pDX->m_bSaveAndValidate) value = -1;
  for (; it != children.end() && (*it)->GetKind() == ControlKind::RadioButton; ++it, ++index) {
    auto* radio = qobject_cast<QRadioButton*>((*it)->GetQWidget());
    if (!radio) continue;
    if (pDX->m_bSaveAndValidate) {
      if (radio->isChecked()) value = index;
    } else {
      radio->setChecked(index == value);
    }
  }
}

void DDV_MaxChars(CDataExchange* pDX, const std::string& value, int maxChars) {
  CWnd* ctrl = pDX->m_pDlgWnd->GetDlgItem(pDX->m_idLastControl);
  if (!pDX->m_bSaveAndValidate) {
    if (ctrl)
      if (auto* edit = qobject_cast<QLineEdit*>(ctrl->GetQWidget())) edit->setMaxLength(maxChars);
    return;
  }
  if (static_cast<int>(value.size()) > maxChars) {
    AfxMessageBox(tarn::ui::MaxCharsPrompt(maxChars), MB_ICONEXCLAMATION);
    pDX->Fail();
  }
}
