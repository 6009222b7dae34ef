// The two password dialogs: CPasswordDlg asks for the password of something
// already encrypted, CEncryptPasswordDlg for a new one, twice.
#pragma once

#include <string>

#include "platform/ui/afxwin.h"

// The most characters a password field takes (the AES-256 key size).
inline constexpr int kPasswordMaxChars = 32;

class CPasswordDlg : public CDialog {
 public:
  explicit CPasswordDlg(CWnd* parent = nullptr);
  ~CPasswordDlg() override;
  std::string GetPassword() const { return m_password; }

  BOOL OnInitDialog() override;
  void DoDataExchange(CDataExchange* pDX) override;

 private:
  std::string m_password;
  HBITMAP m_background = nullptr;
};

class CEncryptPasswordDlg : public CDialog {
 public:
  explicit CEncryptPasswordDlg(CWnd* parent = nullptr);
  ~CEncryptPasswordDlg() override;
  std::string GetPassword() const { return m_password; }

  BOOL OnInitDialog() override;
  void DoDataExchange(CDataExchange* pDX) override;
  void OnOK() override;

 private:
  std::string m_password;
  std::string m_confirm;
  HBITMAP m_background = nullptr;
};

// The text shown when the confirmation differs.
inline constexpr const char* kPasswordMismatchText = "The confrim password is not the equal to the password you input!";
