// The five operation pages of the main window: child dialogs built from
// their templates, each doing its work through the service.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/system_calls.h"
#include "platform/ui/afxwin.h"

class CPage : public CDialog {
 public:
  CPage(UINT idd, TarnSystemCalls& system, CWnd* parent);
  ~CPage() override;
  BOOL OnInitDialog() override;
  // Pages have no OK or Cancel of their own.
  void OnOK() override {}
  void OnCancel() override {}

 protected:
  // Plain messages with the application's title.
  int Say(const std::string& text, UINT type = MB_OK) { return AfxMessageBox(text, type); }
  // Yes/No with "Question", the question icon and No as default.
  bool Confirm(const std::string& text);
  // To the main window (the page's parent).
  void SendToMain(UINT msg, WPARAM wParam, LPARAM lParam = 0);
  // The service's message text of a failed conversion.
  std::string LastMessage();
  // One tick of following an image conversion. After a refused start
  // (failedStart != 0) only a busy service's own conversion is followed, to
  // its end, silently: any other refusal claimed nothing, and the service's
  // finished flag would never change for it.
  enum class ConversionTick { Running, EndedQuietly, Succeeded, Failed };
  ConversionTick PollConversion(long failedStart, CProgressCtrl& progress);
  // Starts following a conversion: the main window's navigation off, the
  // bar over 0..100, the timer ticking every half second.
  void StartProgress(CProgressCtrl& progress, UINT_PTR timer);
  // One tick of an image conversion's timer: once it has ended, the timer
  // stops, the outcome is said (doneText on success) and end() runs; the
  // bar is redrawn either way.
  void FollowImageConversion(UINT_PTR timer, long failedStart, CProgressCtrl& progress, const char* doneText,
                             const std::function<void()>& end);
  TarnSystemCalls& m_system;
  HBITMAP m_background = nullptr;
};

// The page's conversion polling: the page is disabled and the wait cursor
// shown from the start until the end the timer sees.
class CConversionWatch {
 public:
  void Begin() { m_wait = std::make_unique<CWaitCursor>(); }
  void End() { m_wait.reset(); }
  bool Active() const { return m_wait != nullptr; }

 private:
  std::unique_ptr<CWaitCursor> m_wait;
};


// Size text of a byte count: "%s Bytes    %.1f KB|MB|GB", digits grouped.
std::string FormatSizeText(uint64_t bytes);
// "1,073,741,824".
std::string GroupDigits(uint64_t value);
// The confirmation of an in-place conversion of a drive of this size.
std::string ConversionQuestion(const std::string& drive, uint64_t bytes, bool encrypt);

// "Interrupted: 37% encrypted": a drive whose conversion was cut short.
std::string InterruptedText(const CONVERSION_STATE& state);

class CPageTarn : public CPage {
 public:
  explicit CPageTarn(TarnSystemCalls& system, CWnd* parent = nullptr);
  BOOL OnInitDialog() override;
  void DoDataExchange(CDataExchange* pDX) override;

  std::string GetDrive() const { return m_drive; }
  int SetDriveCount() const { return m_setDriveCount; }
  void Refresh(const std::string& drive);
  // The chart's used angle for a state and the service's byte counts;
  // -1 when there is nothing sound to draw.
  static int UsedAngle(int state, int64_t total, int64_t free);
  // The state colour of the used part and its legend square.
  static COLORREF StateColour(int state);
  // The chart area: control 1019's rectangle in page coordinates.
  RECT ChartRect() const;
  bool Converting() const { return m_watch.Active(); }

  // Texts bound to the controls.
  std::string m_total, m_used, m_free, m_caption, m_fileSystem, m_canEncrypt, m_driveType;

 private:
  std::string DevicePath() const { return "\\\\.\\" + m_drive; }
  long QueryState(int64_t* total = nullptr);
  void Paint();
  void DrawChart(QPainter& painter, int state, int usedAngle);
  void DrawLegend(QPainter& painter, int id, COLORREF colour);
  void OnEncryptDecrypt();
  void OnResume();
  // The interrupted conversion of the drive, when there is one.
  bool Interrupted(CONVERSION_STATE* state);
  void OnLockUnlock();
  void OnFormat();
  void OnOpen();
  void OpenFormatDialog();
  void OnProgressTimer(UINT_PTR timer);

  std::string m_drive;
  int m_setDriveCount = 0;
  long m_direction = 1;
  std::string m_password;
  CProgressCtrl m_progress;
  CConversionWatch m_watch;
};

class CPageImageEnc : public CPage {
 public:
  CPageImageEnc(UINT idd, TarnSystemCalls& system, CWnd* parent = nullptr);
  BOOL OnInitDialog() override;
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;

  void SetEncryptMode(int encrypt);
  int GetEncryptMode() const { return m_encrypt; }
  // The destination the page derives from a source path in a mode.
  static std::string DeriveDestination(const std::string& source, bool encrypt);
  bool Converting() const { return m_watch.Active(); }

  std::string m_source;
  std::string m_destination;

 private:
  void OnBrowseSource();
  void OnBrowseDestination();
  void OnSourceChanged();
  void OnStart();
  void OnProgressTimer(UINT_PTR timer);
  void EndConversion();

  int m_encrypt = 1;
  CProgressCtrl m_progress;
  CConversionWatch m_watch;
  // Set when polling follows a start the service refused (Retry/Ignore).
  long m_failedStart = 0;
};

class CPageCreateImage : public CPage {
 public:
  explicit CPageCreateImage(TarnSystemCalls& system, CWnd* parent = nullptr);
  BOOL OnInitDialog() override;
  void DoDataExchange(CDataExchange* pDX) override;
  bool Converting() const { return m_watch.Active(); }

  std::string m_path;
  int m_sizeMB = 200;
  int m_encryptAfter = 0;
  std::string m_label = "DEFAULT VOL";
  int m_fileSystem = 0;

 private:
  void OnBrowse();
  void OnCreate();
  void OnProgressTimer(UINT_PTR timer);
  void EndConversion();

  CProgressCtrl m_progress;
  CComboBox m_fsCombo;
  CConversionWatch m_watch;
  long m_failedStart = 0;
};

class CPageMount : public CPage {
 public:
  explicit CPageMount(TarnSystemCalls& system, CWnd* parent = nullptr);
  BOOL OnInitDialog() override;
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;

  void RefreshList();
  void ShowSelection();
  // The entries of the letter list, in order.
  std::vector<std::string> Letters() const;
  // The chosen letter: the list's text without leading blanks, its first
  // character; 0 when nothing is chosen.
  char ChosenLetter() const;

  int m_kind = 0;
  std::string m_path;
  std::string m_password;

 private:
  void OnBrowse();
  void OnMountUnmount();

  CComboBox m_letters;
};

// "\??\" followed by path as UTF-16 into the record's FileName; false when
// it does not fit.
bool SetRecordFileName(VDISK_MOUNT_RECORD& record, const std::string& path);
// The record's FileName after its "\??\" prefix, as 8-bit text.
std::string RecordFileName(const VDISK_MOUNT_RECORD& record);
