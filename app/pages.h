// The five operation pages of the main window. Until their own code comes,
// each is its template with the background and the messages the main window
// sends it.
#pragma once

#include <string>

#include "platform/ui/afxwin.h"

class CPage : public CDialog {
 public:
  CPage(UINT idd, CWnd* parent);
  ~CPage() override;
  BOOL OnInitDialog() override;
  // Pages have no OK or Cancel of their own.
  void OnOK() override {}
  void OnCancel() override {}
};

// FIXME: the Disk Encryption page's controls and operations (drive
// parameters, pie chart, encrypt/decrypt, lock/unlock, quick formats).
class CPageTarn : public CPage {
 public:
  explicit CPageTarn(CWnd* parent = nullptr);
  std::string GetDrive() const { return m_drive; }
  int SetDriveCount() const { return m_setDriveCount; }

 private:
  std::string m_drive;
  int m_setDriveCount = 0;
};

// FIXME: the CD/DVD image conversion of the page.
class CPageImageEnc : public CPage {
 public:
  CPageImageEnc(UINT idd, CWnd* parent = nullptr) : CPage(idd, parent) {}
  void SetEncryptMode(int encrypt) { m_encrypt = encrypt; }
  int GetEncryptMode() const { return m_encrypt; }

 private:
  int m_encrypt = 1;
};

// FIXME: image creation.
class CPageCreateImage : public CPage {
 public:
  explicit CPageCreateImage(CWnd* parent = nullptr);
};

// FIXME: mounting and unmounting.
class CPageMount : public CPage {
 public:
  explicit CPageMount(CWnd* parent = nullptr);
};
