// CWaitRpcDialog: holds the user while the service cannot be reached, and
// closes by itself once it answers again.
#pragma once

#include "app/system_calls.h"
#include "platform/ui/afxwin.h"

inline constexpr const char* kWaitRpcText = "Shroudkeep rpc service is not available, wait for service to start...";

class CWaitRpcDialog : public CDialog {
 public:
  CWaitRpcDialog(TarnSystemCalls& system, CWnd* parent);
  ~CWaitRpcDialog() override;
  BOOL OnInitDialog() override;
  // Enter does nothing: only the service or the button ends the wait.
  void OnOK() override {}
  void OnCancel() override { EndDialog(IDCANCEL); }

 private:
  TarnSystemCalls& m_system;
};
