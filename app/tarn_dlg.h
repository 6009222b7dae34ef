// CTarnDlg: the main window: banner and picture buttons, the navigation
// panel with the drive list, the five pages, device arrival with the
// password prompt, the tray icon and the service watch.
#pragma once

#include <memory>
#include <string>

#include "app/direct_ui.h"
#include "app/pages.h"
#include "app/picture.h"
#include "app/system_calls.h"
#include "platform/ui/afxwin.h"

inline constexpr const char* kInsertedPrompt = "A encrypted disk is inserted, do you want enter password to use it?";
inline constexpr const char* kExitRefused = "Being encrypted or decrypted, Shroudkeep couldn't exit at this time!";

class CTarnDlg : public CDialog {
 public:
  explicit CTarnDlg(TarnSystemCalls& system, CWnd* parent = nullptr);
  ~CTarnDlg() override;

  BOOL OnInitDialog() override;
  // Enter does nothing; Escape and the close box hide the window.
  void OnOK() override {}
  void OnCancel() override { ShowWindow(SW_HIDE); }

  void RebuildDriveList();
  // The first letter from D to Z that no drive answers to; 0 when all do.
  char FindFreeDriveLetter();

  // State, for the pages, the tray and the tests.
  int NavMode = 0;
  BOOL Busy = FALSE;
  std::string CurrentDrive;
  CWndDirectUI& NavPanel() { return m_nav; }
  CPageTarn& PageTarn() { return *m_pageTarn; }
  CPageImageEnc& PageImageEnc() { return *m_pageImageEnc; }
  CPageImageEnc& PageImageDec() { return *m_pageImageDec; }
  CPageCreateImage& PageCreateImage() { return *m_pageCreateImage; }
  CPageMount& PageMount() { return *m_pageMount; }
  const CImageList& ImageList() const { return m_imageList; }

 private:
  void OnDriveChosen(UINT id);
  void ShowOnly(CPage* page);
  void OnAbout();
  void OnHelp();
  void OnServiceWatch(UINT_PTR id);
  LRESULT OnDeviceChange(WPARAM event, LPARAM data);
  // Asks whether to unlock the inserted disk and for its password; the
  // password goes to SvcUnlockDrive(drive, password, isFullPath).
  void AskAndUnlock(const std::string& drive, long isFullPath);
  void OnTrayIcon(LPARAM mouse);
  void OnTrayExit();
  void OpenTrayMenu();
  void OnTrayMount(bool cd);
  void OnTrayUnmount(UINT id);
  void OnOption();
  // Adds or removes the tray icon when the ShowTrayIcon setting is on.
  void TrayIconIfShown(DWORD message);

  TarnSystemCalls& m_system;
  HICON m_hIcon = nullptr;
  HBITMAP m_background = nullptr;
  HBITMAP m_background2 = nullptr;
  CImageList m_imageList;
  NOTIFYICONDATAA m_trayIcon{};
  HDEVNOTIFY m_devNotify = nullptr;
  CWndDirectUI m_nav;
  std::unique_ptr<CPageTarn> m_pageTarn;
  std::unique_ptr<CPageImageEnc> m_pageImageEnc;
  std::unique_ptr<CPageImageEnc> m_pageImageDec;
  std::unique_ptr<CPageCreateImage> m_pageCreateImage;
  std::unique_ptr<CPageMount> m_pageMount;
  CMenu m_trayMenu;
  CPicture m_about;
  CPicture m_help;
  CPicture m_option;
};
