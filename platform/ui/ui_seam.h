// The one seam through which the program meets the person in front of it
// outside its own windows: message boxes, file dialogs, popup menus, the
// shell, and the start of every modal dialog loop. Normal runs use real Qt
// dialogs; tests install a seam that answers from a script.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/winuser.h"

class CDialog;
struct MenuData;

namespace tarn::ui {

struct FileDialogRequest {
  bool open = true;         // open or save
  std::string filter;       // Windows form: "Text (*.txt)|*.txt|All Files (*.*)|*.*||"
  std::string defaultExt;   // without the dot
  std::string initialName;
  DWORD flags = 0;
};

class UiSeam {
 public:
  virtual ~UiSeam() = default;
  // Returns IDOK, IDCANCEL, IDYES, ... as MessageBox does.
  virtual int MessageBox(HWND owner, const std::string& text, const std::string& caption, UINT type) = 0;
  // Returns IDOK with the chosen path, or IDCANCEL.
  virtual int FileDialog(HWND owner, const FileDialogRequest& request, std::string* path) = 0;
  // Returns the chosen command id, or 0 when the menu was dismissed.
  virtual UINT TrackPopupMenu(const MenuData& menu, POINT at, HWND owner) = 0;
  virtual INT_PTR ShellExecute(HWND owner, const std::string& verb, const std::string& file,
                               const std::string& parameters) = 0;
  // Called from inside a dialog's modal loop once it runs.
  virtual void ModalLoopStarted(CDialog& dialog) { (void)dialog; }
};

// The seam in use; the Qt one unless a test installed another.
UiSeam& CurrentUiSeam();
void SetUiSeam(UiSeam* seam);  // nullptr restores the Qt seam

// The buttons a message box of a given type shows (ids in order), the one
// Enter presses and the one Escape presses (0: Escape does nothing, as in a
// Yes/No box).
struct MessageBoxButtons {
  std::vector<int> ids;
  int defaultId;
  int escapeId;
};
MessageBoxButtons DescribeMessageBox(UINT type);

// "Disk Image Files (*.img)|*.img|All Files (*.*)|*.*||" becomes
// "Disk Image Files (*.img);;All Files (*)". Entries without a pattern are
// dropped, "*.*" means every file.
std::string QtFilterFromWindows(const std::string& filter);

}  // namespace tarn::ui

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
