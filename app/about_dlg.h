// CAboutDlg: the program's name and version and two links.
#pragma once

#include "app/label.h"
#include "platform/ui/afxwin.h"

inline constexpr const char* kHomePage = "https://www.orvantis.example/shroudkeep";
inline constexpr const char* kSupportAddress = "support@orvantis.example";
inline constexpr const char* kSupportText = kSupportAddress;

class CAboutDlg : public CDialog {
 public:
  explicit CAboutDlg(CWnd* parent = nullptr);
  ~CAboutDlg() override;
  BOOL OnInitDialog() override;
  CLabel& HomePage() { return m_homePage; }
  CLabel& Support() { return m_support; }

 private:
  CLabel m_homePage;
  CLabel m_support;
};
