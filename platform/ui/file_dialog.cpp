#include "platform/ui/file_dialog.h"

#include "platform/ui/ui_seam.h"

CFileDialog::CFileDialog(BOOL openFileDialog, LPCSTR defExt, LPCSTR fileName, DWORD flags, LPCSTR filter,
                         CWnd* parent)
    : m_open(openFileDialog),
      m_defExt(defExt ? defExt : ""),
      m_fileName(fileName ? fileName : ""),
      m_flags(flags),
      m_filter(filter ? filter : ""),
      m_parent(parent) {}

INT_PTR CFileDialog::DoModal() {
  tarn::ui::FileDialogRequest request;
  request.open = m_open != FALSE;
  request.filter = m_filter;
  request.defaultExt = m_defExt;
  request.initialName = m_fileName;
  request.flags = m_flags;
  CWnd* owner = m_parent ? m_parent : AfxGetMainWnd();
  std::string path;
  int result = tarn::ui::CurrentUiSeam().FileDialog(owner ? owner->GetSafeHwnd() : nullptr, request, &path);
  if (result != IDOK) return IDCANCEL;
  // The system dialog hands back at most MAX_PATH characters.
  if (path.empty() || path.size() >= MAX_PATH) return IDCANCEL;
  m_path = path;
  return IDOK;
}

std::string CFileDialog::GetFileName() const {
  size_t slash = m_path.find_last_of("/\\");
  return slash == std::string::npos ? m_path : m_path.substr(slash + 1);
}

std::string CFileDialog::GetFileExt() const {
  std::string name = GetFileName();
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}
