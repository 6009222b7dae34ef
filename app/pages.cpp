#include "app/pages.h"

#include "app/resource.h"

CPage::CPage(UINT idd, CWnd* parent) : CDialog(idd, parent) {}

CPage::~CPage() { DestroyWindow(); }

BOOL CPage::OnInitDialog() {
  CDialog::OnInitDialog();
  SetBackgroundPattern(LoadBitmap(IDB_BACKGROUND));
  return TRUE;
}

CPageTarn::CPageTarn(CWnd* parent) : CPage(IDD_PAGE_TARN, parent) {
  OnMessage(WM_SETDRIVE, [this](WPARAM w, LPARAM) {
    // The text belongs to the sender; keep a copy.
    const char* drive = reinterpret_cast<const char*>(w);
    m_drive = drive ? drive : "";
    ++m_setDriveCount;
    return 0;
  });
}

CPageCreateImage::CPageCreateImage(CWnd* parent) : CPage(IDD_PAGE_CREATEIMAGE, parent) {}

CPageMount::CPageMount(CWnd* parent) : CPage(IDD_PAGE_MOUNT, parent) {}
