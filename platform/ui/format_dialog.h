// The format dialog of the shell (SHFormatDrive): file system, volume label,
// Start and Close. The formatting itself is done by the formatter the
// program registers (on this system, the machine writes an empty FAT file
// system through the drive's device stack).
#pragma once

#include <functional>
#include <string>

#include "platform/ui/dialog.h"

#define SHFMT_ID_DEFAULT 0xFFFF
#define SHFMT_OPT_FULL 0x0001
#define SHFMT_ERROR 0xFFFFFFFFL
#define SHFMT_CANCEL 0xFFFFFFFEL
#define SHFMT_NOFORMAT 0xFFFFFFFDL

// Template and controls of the format dialog.
#define IDD_SHELL_FORMAT 0x7F10
#define IDC_FORMAT_FILESYSTEM 0x7F11
#define IDC_FORMAT_LABEL 0x7F12
#define IDC_FORMAT_START 0x7F13
#define IDC_FORMAT_QUICK 0x7F14

namespace tarn::ui {
// Returns a Win32 error; fileSystem is "FAT" or "FAT32".
using DriveFormatter = std::function<DWORD(char letter, const std::string& fileSystem, const std::string& label)>;
void SetDriveFormatter(DriveFormatter formatter);
}  // namespace tarn::ui

class CFormatDialog : public CDialog {
 public:
  CFormatDialog(char letter, CWnd* parent);
  BOOL OnInitDialog() override;
  // Close (IDCANCEL) after a format has ended reports the format.
  DWORD Result() const { return m_result; }

 private:
  void OnStart();
  char m_letter;
  DWORD m_result = SHFMT_CANCEL;
};

// Shows the dialog for drive number drive (0 is A:) modally over hwnd.
// Returns the format id (SHFMT_ID_DEFAULT) once a format succeeded, else
// SHFMT_CANCEL, SHFMT_ERROR or SHFMT_NOFORMAT.
DWORD SHFormatDrive(HWND hwnd, UINT drive, UINT fmtID, UINT options);
