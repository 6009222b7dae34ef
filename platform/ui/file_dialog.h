// The open and save file dialogs, with the Windows filter strings.
#pragma once

#include <string>

#include "platform/ui/wnd.h"

#define OFN_READONLY 0x00000001
#define OFN_OVERWRITEPROMPT 0x00000002
#define OFN_HIDEREADONLY 0x00000004
#define OFN_PATHMUSTEXIST 0x00000800
#define OFN_FILEMUSTEXIST 0x00001000

class CFileDialog {
 public:
  CFileDialog(BOOL openFileDialog, LPCSTR defExt = nullptr, LPCSTR fileName = nullptr,
              DWORD flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, LPCSTR filter = nullptr, CWnd* parent = nullptr);
  // IDOK with a chosen path, IDCANCEL otherwise.
  INT_PTR DoModal();
  std::string GetPathName() const { return m_path; }
  std::string GetFileName() const;
  std::string GetFileExt() const;

 private:
  BOOL m_open;
  std::string m_defExt;
  std::string m_fileName;
  DWORD m_flags;
  std::string m_filter;
  CWnd* m_parent;
  std::string m_path;
};
