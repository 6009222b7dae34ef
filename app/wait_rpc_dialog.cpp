#include "app/wait_rpc_dialog.h"

#include "app/resource.h"

CWaitRpcDialog::CWaitRpcDialog(TarnSystemCalls& system, CWnd* parent) : CDialog(IDD_WAITRPC, parent), m_system(system) {
  OnMessage(WM_TIMER, [this](WPARAM, LPARAM) {
    if (m_system.SvcPing() == 0) EndDialog(IDOK);
    return 0;
  });
}

CWaitRpcDialog::~CWaitRpcDialog() { DestroyWindow(); }

BOOL CWaitRpcDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  SetTimer(0, 500);
  SetBackgroundPattern(LoadBitmap(IDB_BACKGROUND));
  return TRUE;
}
