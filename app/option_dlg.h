// COptionDlg: the tray icon, autostart and shell extension switches.
#pragma once

#include "app/system_calls.h"
#include "platform/ui/afxwin.h"

class COptionDlg : public CDialog {
 public:
  COptionDlg(TarnSystemCalls& system, CWnd* parent = nullptr);
  ~COptionDlg() override;
  BOOL OnInitDialog() override;
  void DoDataExchange(CDataExchange* pDX) override;
  void OnOK() override;

  int ShowTray = 1;
  int ShellExtension = 1;

 private:
  void OnAutostartClicked();
  TarnSystemCalls& m_system;
  HBITMAP m_background = nullptr;
};
