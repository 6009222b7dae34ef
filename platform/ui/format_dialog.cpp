#include "platform/ui/format_dialog.h"

#include <cstdio>

#include "platform/ui/controls.h"
#include "platform/ui/dialog_template.h"
#include "platform/ui/ui_seam.h"

namespace tarn::ui {
namespace {
DriveFormatter& Formatter() {
  static DriveFormatter formatter;
  return formatter;
}

void RegisterFormatTemplate() {
  static bool done = false;
  if (done) return;
  done = true;
  using K = ControlKind;
  DLGTEMPLATE t;
  t.id = IDD_SHELL_FORMAT;
  t.cx = 180;
  t.cy = 130;
  t.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  t.items = {
      {IDC_STATIC, K::Static, "&File system", 8, 8, 164, 9},
      {IDC_FORMAT_FILESYSTEM, K::ComboDropList, "", 8, 19, 164, 60},
      {IDC_STATIC, K::Static, "Volume &label", 8, 40, 164, 9},
      {IDC_FORMAT_LABEL, K::Edit, "", 8, 51, 164, 13, ES_AUTOHSCROLL},
      {IDC_STATIC, K::GroupBox, "Format &options", 8, 70, 164, 26},
      {IDC_FORMAT_QUICK, K::CheckBox, "&Quick Format", 16, 81, 150, 10},
      {IDC_FORMAT_START, K::PushButton, "&Start", 68, 104, 50, 16, BS_DEFPUSHBUTTON},
      {IDCANCEL, K::PushButton, "&Close", 122, 104, 50, 16},
  };
  RegisterDialogTemplate(t);
}
}  // namespace

void SetDriveFormatter(DriveFormatter formatter) { Formatter() = std::move(formatter); }
}  // namespace tarn::ui

CFormatDialog::CFormatDialog(char letter, CWnd* parent) : CDialog(IDD_SHELL_FORMAT, parent), m_letter(letter) {
  tarn::ui::RegisterFormatTemplate();
  OnCommandId(IDC_FORMAT_START, [this] { OnStart(); });
}

BOOL CFormatDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  char caption[64];
  std::snprintf(caption, sizeof(caption), "Format (%c:)", m_letter);
  SetWindowText(caption);
  CComboBox fs;
  fs.Attach(GetDlgItem(IDC_FORMAT_FILESYSTEM));
  fs.AddString("FAT");
  fs.AddString("FAT32");
  fs.SetCurSel(1);
  return TRUE;
}

void CFormatDialog::OnStart() {
  CComboBox fs;
  fs.Attach(GetDlgItem(IDC_FORMAT_FILESYSTEM));
  std::string fileSystem = fs.GetWindowText();
  std::string label = GetDlgItemText(IDC_FORMAT_LABEL);
  if (label.size() > 11) label.resize(11);  // a FAT label holds 11 characters
  std::string drive{m_letter, ':'};
  std::string warning = "WARNING: Formatting will erase ALL data on this disk.\nTo format the disk, click OK. To quit, "
                        "click CANCEL.";
  if (MessageBox(warning, ("Format " + drive).c_str(), MB_OKCANCEL | MB_ICONWARNING) != IDOK) return;
  auto& formatter = tarn::ui::Formatter();
  DWORD error = formatter ? formatter(m_letter, fileSystem, label) : 50;  // ERROR_NOT_SUPPORTED
  if (error == 0) {
    m_result = SHFMT_ID_DEFAULT;
    MessageBox("Format Complete.", ("Formatting " + drive).c_str(), MB_OK | MB_ICONINFORMATION);
  } else {
    m_result = SHFMT_ERROR;
    char text[128];
    std::snprintf(text, sizeof(text), "The format did not complete successfully (error %lu).",
                  static_cast<unsigned long>(error));
    MessageBox(text, ("Format " + drive).c_str(), MB_OK | MB_ICONERROR);
  }
}

DWORD SHFormatDrive(HWND hwnd, UINT drive, UINT, UINT) {
  if (drive > 25) return SHFMT_ERROR;
  CFormatDialog dialog(static_cast<char>('A' + drive), CWnd::FromHandle(hwnd));
  dialog.DoModal();
  return dialog.Result();
}
