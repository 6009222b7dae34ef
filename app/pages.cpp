#include "app/pages.h"

#include <QString>
#include <cstdio>

#include "app/resource.h"

CPage::CPage(UINT idd, TarnSystemCalls& system, CWnd* parent) : CDialog(idd, parent), m_system(system) {}

CPage::~CPage() { DestroyWindow(); }

BOOL CPage::OnInitDialog() {
  CDialog::OnInitDialog();
  m_background = LoadBitmap(IDB_BACKGROUND);
  SetBackgroundPattern(m_background);
  return TRUE;
}

bool CPage::Confirm(const std::string& text) {
  return MessageBox(text, "Question", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

void CPage::SendToMain(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (CWnd* main = GetParent()) main->SendMessage(msg, wParam, lParam);
}

std::string CPage::LastMessage() {
  uint8_t buffer[128] = {};
  m_system.SvcGetLastMessage(sizeof(buffer), buffer);
  buffer[sizeof(buffer) - 1] = 0;
  return reinterpret_cast<const char*>(buffer);
}

CPage::ConversionTick CPage::PollConversion(long failedStart, CProgressCtrl& progress) {
  constexpr long kErrorBusy = 170;  // ERROR_BUSY: the service runs a conversion already
  if (failedStart != 0) {
    if (failedStart != kErrorBusy || m_system.SvcGetFinished() != 0) return ConversionTick::EndedQuietly;
    return ConversionTick::Running;
  }
  progress.SetPos(static_cast<int>(m_system.SvcGetProgress()));
  if (m_system.SvcGetFinished() == 0) return ConversionTick::Running;
  if (m_system.SvcGetResult() != 0) return ConversionTick::Failed;
  progress.SetPos(100);
  return ConversionTick::Succeeded;
}

void CPage::StartProgress(CProgressCtrl& progress, UINT_PTR timer) {
  SendToMain(WM_ENABLENAV, 0);
  progress.SetRange(0, 100);
  progress.SetStep(1);
  SetTimer(timer, 500);
}

void CPage::FollowImageConversion(UINT_PTR timer, long failedStart, CProgressCtrl& progress, const char* doneText,
                                  const std::function<void()>& end) {
  if (!HasTimer(timer)) return;
  const ConversionTick tick = PollConversion(failedStart, progress);
  if (tick != ConversionTick::Running) {
    KillTimer(timer);
    if (tick == ConversionTick::Failed) Say(LastMessage());
    if (tick == ConversionTick::Succeeded) Say(doneText);
    end();
  }
  if (failedStart != 0) {
    progress.RedrawWindow();
  } else {
    progress.RedrawWindow(RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  }
}

std::string GroupDigits(uint64_t value) {
  std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string FormatSizeText(uint64_t bytes) {
  char text[96];
  const char* unit = "KB";
  double value = static_cast<double>(bytes) / 1024.0;
  if (bytes > 1073741824ull) {
    unit = "GB";
    value = static_cast<double>(bytes) / 1073741824.0;
  } else if (bytes > 1048576ull) {
    unit = "MB";
    value = static_cast<double>(bytes) / 1048576.0;
  }
  std::snprintf(text, sizeof(text), "%s Bytes    %.1f %s", GroupDigits(bytes).c_str(), value, unit);
  return text;
}

std::string ConversionQuestion(const std::string& drive, uint64_t bytes, bool encrypt) {
  char text[512];
  const char* verb = encrypt ? "encrypt" : "decrypt";
  if (bytes <= 1073741824ull)
    std::snprintf(text, sizeof(text),
                  "The drive %s contain more than %.3f MB of data, %s it may take a moment , do you ensure to "
                  "encrypt it? ",
                  drive.c_str(), static_cast<double>(bytes) / 1048576.0, verb);
  else
    std::snprintf(text, sizeof(text),
                  "The drive %s contain more than %.1f GB of data, %s it may take long of time. while the "
                  "encrypting, you can't stop it, do you ensure to encrypt it? ",
                  drive.c_str(), static_cast<double>(bytes) / 1073741824.0, verb);
  return text;
}

bool SetRecordFileName(VDISK_MOUNT_RECORD& record, const std::string& path) {
  // The path is 8-bit text in the program; UTF-8 here, as the system's
  // multibyte code page is.
  std::u16string wide = u"\\??\\" + QString::fromStdString(path).toStdU16String();
  if (wide.size() + 1 > sizeof(record.FileName) / sizeof(record.FileName[0])) return false;
  for (size_t i = 0; i < wide.size(); ++i) record.FileName[i] = wide[i];
  record.FileName[wide.size()] = 0;
  return true;
}

std::string RecordFileName(const VDISK_MOUNT_RECORD& record) {
  constexpr size_t kCount = sizeof(record.FileName) / sizeof(record.FileName[0]);
  std::u16string wide;
  // A record from elsewhere may lack its terminator; stop at the field's end.
  for (size_t i = 4; i < kCount && record.FileName[i]; ++i) wide += static_cast<char16_t>(record.FileName[i]);
  return QString::fromStdU16String(wide).toStdString();
}
