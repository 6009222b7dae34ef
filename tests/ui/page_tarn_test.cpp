// The Disk Encryption page against the in-memory service.
#include <QImage>
#include <QPixmap>
#include <QWidget>
#include <cstdlib>

#include "app/pages.h"
#include "tests/ui/page_fixture.h"

using namespace tarn::ui::testing;
using tarn::ui::TypeText;

namespace {

// Pixels compared with a small tolerance: the paint path may round.
bool Near(QColor a, QColor b) {
  return std::abs(a.red() - b.red()) <= 3 && std::abs(a.green() - b.green()) <= 3 && std::abs(a.blue() - b.blue()) <= 3;
}

TEST(SizeText, UnitBoundariesAndDigitGrouping) {
  struct Case {
    uint64_t bytes;
    const char* text;
  } cases[] = {
      {0, "0 Bytes    0.0 KB"},
      {999, "999 Bytes    1.0 KB"},
      {1048576, "1,048,576 Bytes    1024.0 KB"},
      {1048577, "1,048,577 Bytes    1.0 MB"},
      {1073741824, "1,073,741,824 Bytes    1024.0 MB"},
      {1073741825, "1,073,741,825 Bytes    1.0 GB"},
      {18446744073709551615ull, "18,446,744,073,709,551,615 Bytes    17179869184.0 GB"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatSizeText(c.bytes), c.text) << c.bytes;
}

TEST(ConversionQuestion, MegabyteFormUpToOneGibibyteThenGigabytes) {
  EXPECT_EQ(ConversionQuestion("E:", 1073741824, true),
            "The drive E: contain more than 1024.000 MB of data, encrypt it may take a moment , do you ensure to "
            "encrypt it? ");
  EXPECT_EQ(ConversionQuestion("E:", 1073741825, true),
            "The drive E: contain more than 1.0 GB of data, encrypt it may take long of time. while the encrypting, "
            "you can't stop it, do you ensure to encrypt it? ");
  EXPECT_EQ(ConversionQuestion("E:", 1048576, false),
            "The drive E: contain more than 1.000 MB of data, decrypt it may take a moment , do you ensure to "
            "encrypt it? ");
}

TEST(PieChart, UsedAngleNeverComesFromADivisionByZero) {
  struct Case {
    int state;
    int64_t total, free;
    int angle;
  } cases[] = {
      {0, 1000, 250, 270}, {1, 1000, 0, 360}, {0, 1000, 1000, 0},  {2, 0, 0, 360},  {3, 0, 0, 360},
      {0, 0, 0, -1},       {1, 0, 5, -1},     {0, 1000, 2000, -1}, {0, -4, 0, -1},  {5, 1000, 1, -1},
      {0, int64_t(1) << 50, int64_t(1) << 49, 180},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CPageTarn::UsedAngle(c.state, c.total, c.free), c.angle) << c.state << " " << c.total << " " << c.free;
}

class DiskPageTest : public PageTest {
 protected:
  CPageTarn& Page() { return dialog_->PageTarn(); }
};

TEST_F(DiskPageTest, StateTableSetsTextsAndButtons) {
  struct Case {
    long status;
    const char* type;
    const char* canEncrypt;
    const char* b1004;
    const char* b1006;
    const char* b1007;
    bool e1004, e1006, e1007;
  } cases[] = {
      {0x10000, "Normal", "Yes", "Encrypt", "Lock", "Enc Format", true, false, true},
      {0x00000, "Normal", "Yes", "Encrypt", "Lock", "Enc Format", false, false, false},
      {0x20002, "Locked", "No", "Decrypt", "Unlock", "Dec Format", false, true, false},
      {0xC0001, "Encrypted", "No", "Decrypt", "Lock", "Dec Format", true, true, true},
      {0x80001, "Encrypted", "No", "Decrypt", "Lock", "Dec Format", false, true, false},
      {0x00003, "Unknown", "No", "Encrypt", "Lock", "Enc Format", false, false, false},
  };
  Open();
  for (const Case& c : cases) {
    fake_.drives['e'].status = c.status;
    Choose('e');
    CPageTarn& page = Page();
    EXPECT_EQ(Text(page, IDC_TARN_DRIVETYPE), c.type) << std::hex << c.status;
    EXPECT_EQ(Text(page, IDC_TARN_CANENCRYPT), c.canEncrypt) << std::hex << c.status;
    EXPECT_EQ(Text(page, IDC_TARN_ENCRYPT), c.b1004);
    EXPECT_EQ(Text(page, IDC_TARN_LOCK), c.b1006);
    EXPECT_EQ(Text(page, IDC_TARN_FORMAT), c.b1007);
    EXPECT_EQ(Enabled(page, IDC_TARN_ENCRYPT), c.e1004) << std::hex << c.status;
    EXPECT_EQ(Enabled(page, IDC_TARN_LOCK), c.e1006) << std::hex << c.status;
    EXPECT_EQ(Enabled(page, IDC_TARN_FORMAT), c.e1007) << std::hex << c.status;
  }
}

TEST_F(DiskPageTest, SystemDriveIsNeverOfferedWhateverItsState) {
  fake_.drives['c'].status = 0xC0001;
  Open();
  Choose('c');
  EXPECT_EQ(Text(Page(), IDC_TARN_DRIVETYPE), "System");
  EXPECT_EQ(Text(Page(), IDC_TARN_CANENCRYPT), "No");
  EXPECT_EQ(Text(Page(), IDC_TARN_ENCRYPT), "Encrypt");
  EXPECT_FALSE(Enabled(Page(), IDC_TARN_ENCRYPT));
  EXPECT_FALSE(Enabled(Page(), IDC_TARN_LOCK));
  EXPECT_FALSE(Enabled(Page(), IDC_TARN_FORMAT));
}

TEST_F(DiskPageTest, SizesCaptionAndFileSystemTexts) {
  fake_.drives['f'] = FakeSystemCalls::Drive{DRIVE_FIXED, 0x10000, "", "", "FAT", 1073741824, 1048576};
  fake_.drives['g'] = FakeSystemCalls::Drive{DRIVE_FIXED, 0x20002, "pw", "", "", 1073741825, 0};
  Open();
  Choose('f');
  EXPECT_EQ(Text(Page(), IDC_TARN_CAPTION), "Drive F:(NoName)");
  EXPECT_EQ(Text(Page(), IDC_TARN_FS), "FAT");
  EXPECT_EQ(Text(Page(), IDC_TARN_TOTAL), "1,073,741,824 Bytes    1024.0 MB");
  EXPECT_EQ(Text(Page(), IDC_TARN_FREE), "1,048,576 Bytes    1024.0 KB");
  EXPECT_EQ(Text(Page(), IDC_TARN_USED), "1,072,693,248 Bytes    1023.0 MB");
  // Locked: no file system to ask, so the service's size and "Unknown".
  Choose('g');
  EXPECT_EQ(Text(Page(), IDC_TARN_CAPTION), "Drive G:(Unknown)");
  EXPECT_EQ(Text(Page(), IDC_TARN_FS), "Unknown");
  EXPECT_EQ(Text(Page(), IDC_TARN_TOTAL), "1,073,741,825 Bytes    1.0 GB");
  EXPECT_EQ(Text(Page(), IDC_TARN_FREE), Text(Page(), IDC_TARN_TOTAL));
  EXPECT_EQ(Text(Page(), IDC_TARN_USED), "0 Bytes    0.0 KB");
}

TEST_F(DiskPageTest, LockedDriveChartIsAFullCircleInTheLockedColour) {
  fake_.drives['e'].status = 0x20002;
  Open();
  Choose('e');
  dialog_->ShowWindow(SW_SHOW);
  Settle();
  QImage image = Page().GetQWidget()->grab().toImage();
  RECT r = Page().ChartRect();
  QColor locked(119, 136, 153);
  int cx = (r.left + r.right) / 2;
  int cy = (r.top + r.bottom) / 2;
  // Inside the ellipse everywhere: both halves, left, right and centre.
  for (QPoint p : {QPoint(cx, cy), QPoint(cx, r.top + 4), QPoint(cx, r.bottom - 4), QPoint(r.left + 4, cy),
                   QPoint(r.right - 4, cy)})
    EXPECT_TRUE(Near(image.pixelColor(p), locked)) << p.x() << "," << p.y() << " " << image.pixelColor(p).name().toStdString();
  // The 3-D side below the ellipse: hatched black and the locked colour.
  QColor side = image.pixelColor(cx, r.bottom + 3);
  EXPECT_TRUE(Near(side, Qt::black) || Near(side, locked)) << side.name().toStdString();
}

TEST_F(DiskPageTest, ZeroTotalDrawsNoChart) {
  fake_.drives['e'] = FakeSystemCalls::Drive{DRIVE_REMOVABLE, 0x10000, "", "", "FAT", 0, 0};
  Open();
  Choose('e');
  dialog_->ShowWindow(SW_SHOW);
  Settle();
  QImage image = Page().GetQWidget()->grab().toImage();
  RECT r = Page().ChartRect();
  QColor centre = image.pixelColor((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  EXPECT_FALSE(Near(centre, QColor(238, 130, 238)));
  EXPECT_FALSE(Near(centre, QColor(65, 105, 225)));
}

TEST_F(DiskPageTest, EncryptRunsToCompletionAndRefreshesTheList) {
  Open();
  Choose('e');
  seam_.messageBoxAnswers = {IDYES};
  AnswerPassword("secret");
  Click(Page(), IDC_TARN_ENCRYPT);
  ASSERT_EQ(Ops(), (std::vector<std::string>{"drive"}));
  EXPECT_EQ(fake_.calls[0].a, "\\\\.\\E:");
  EXPECT_EQ(fake_.calls[0].b, "secret");
  EXPECT_EQ(fake_.calls[0].n, 1);
  EXPECT_TRUE(Page().Converting());
  EXPECT_FALSE(Page().IsWindowEnabled());
  EXPECT_TRUE(dialog_->Busy);
  EXPECT_TRUE(Page().HasTimer(0));

  CProgressCtrl progress;
  progress.Attach(Page().GetDlgItem(IDC_TARN_PROGRESS));
  fake_.conversion.progress = 40;
  Page().SendMessage(WM_TIMER, 0, 0);
  EXPECT_EQ(progress.GetPos(), 40);
  EXPECT_TRUE(Page().Converting());

  // The OK of the completion box sees the bar at its end.
  fake_.FinishConversion(0);
  seam_.messageBoxAnswers = {IDOK};
  seam_.messageBoxes.clear();
  Page().SendMessage(WM_TIMER, 0, 0);
  ASSERT_EQ(Messages(), (std::vector<std::string>{"Encrypt disk complete!"}));
  EXPECT_FALSE(Page().HasTimer(0));
  EXPECT_FALSE(Page().Converting());
  EXPECT_TRUE(Page().IsWindowEnabled());
  EXPECT_FALSE(dialog_->Busy);
  EXPECT_EQ(progress.GetPos(), 0);
  // The list was rebuilt: E: now reads as encrypted.
  bool listed = false;
  for (const auto& item : dialog_->NavPanel().GetGroup(1)->Items())
    if (item->GetCaption() == "e: Encrypted") listed = true;
  EXPECT_TRUE(listed);
  EXPECT_EQ(Text(Page(), IDC_TARN_DRIVETYPE), "Encrypted");
  EXPECT_TRUE(seam_.unexpected.empty());
}

TEST_F(DiskPageTest, FailedConversionShowsTheServiceText) {
  Open();
  Choose('e');
  seam_.messageBoxAnswers = {IDYES};
  AnswerPassword("pw");
  Click(Page(), IDC_TARN_ENCRYPT);
  fake_.FinishConversion(5, "Can't lock the volume");
  seam_.messageBoxes.clear();
  Page().SendMessage(WM_TIMER, 0, 0);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Can't lock the volume"}));
  EXPECT_TRUE(Page().IsWindowEnabled());
}

TEST_F(DiskPageTest, CancelledPasswordOrNoStartsNothing) {
  Open();
  Choose('e');
  seam_.messageBoxAnswers = {IDNO};
  Click(Page(), IDC_TARN_ENCRYPT);
  seam_.messageBoxAnswers = {IDYES};
  CancelDialog();
  Click(Page(), IDC_TARN_ENCRYPT);
  EXPECT_TRUE(fake_.calls.empty());
  EXPECT_TRUE(Page().IsWindowEnabled());
  EXPECT_FALSE(Page().HasTimer(0));
  EXPECT_FALSE(dialog_->Busy);
}

TEST_F(DiskPageTest, RefusedStartRestoresThePageBeforeItsMessage) {
  Open();
  Choose('e');
  fake_.startResult = 0x15;
  seam_.messageBoxAnswers = {IDYES};
  AnswerPassword("pw");
  Click(Page(), IDC_TARN_ENCRYPT);
  EXPECT_EQ(seam_.messageBoxes.back().text, "Can't encrypt this drive, error code 15");
  EXPECT_TRUE(Page().IsWindowEnabled());
  EXPECT_FALSE(Page().Converting());
  EXPECT_FALSE(dialog_->Busy);
}

TEST_F(DiskPageTest, LockThenUnlockWithThePassword) {
  fake_.drives['e'].status = 0xC0001;
  fake_.drives['e'].password = "pw";
  Open();
  Choose('e');
  Click(Page(), IDC_TARN_LOCK);
  EXPECT_EQ(Text(Page(), IDC_TARN_DRIVETYPE), "Locked");
  EXPECT_EQ(Text(Page(), IDC_TARN_LOCK), "Unlock");
  AnswerPassword("pw");
  Click(Page(), IDC_TARN_LOCK);
  EXPECT_EQ(Ops(), (std::vector<std::string>{"lock", "unlock"}));
  EXPECT_EQ(fake_.calls[1].a, "E:");
  EXPECT_EQ(fake_.calls[1].n, 0);
  EXPECT_EQ(Text(Page(), IDC_TARN_DRIVETYPE), "Encrypted");
  EXPECT_TRUE(Page().IsWindowEnabled());
}

TEST_F(DiskPageTest, QuickEncryptUnlocksAndOpensTheFormatDialog) {
  Open();
  Choose('e');
  // Question Yes, password, then the format dialog: FAT32, Start, OK to
  // its warning, and Close.
  seam_.messageBoxAnswers = {IDYES, IDOK, IDOK};
  AnswerPassword("quick");
  seam_.dialogActions.push_back([](CDialog& d) {
    d.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_FORMAT_START, BN_CLICKED), 0);
    d.SendMessage(WM_COMMAND, IDCANCEL, 0);
  });
  Click(Page(), IDC_TARN_FORMAT);
  EXPECT_EQ(Ops(), (std::vector<std::string>{"quickencrypt", "unlock"}));
  EXPECT_EQ(fake_.calls[1].b, "quick");
  ASSERT_EQ(fake_.formats.size(), 1u);
  EXPECT_EQ(fake_.formats[0], (std::pair<char, std::string>{'E', "FAT32"}));
  EXPECT_EQ(seam_.dialogsShown.back(), static_cast<UINT>(IDD_SHELL_FORMAT));
  EXPECT_EQ(Text(Page(), IDC_TARN_DRIVETYPE), "Encrypted");
  EXPECT_TRUE(seam_.unexpected.empty());
}

TEST_F(DiskPageTest, QuickEncryptFailureStopsBeforeUnlockAndFormat) {
  Open();
  Choose('e');
  fake_.quickResult = 5;
  seam_.messageBoxAnswers = {IDYES};
  AnswerPassword("quick");
  Click(Page(), IDC_TARN_FORMAT);
  EXPECT_EQ(Ops(), (std::vector<std::string>{"quickencrypt"}));
  EXPECT_EQ(seam_.messageBoxes.back().text, "Can't quick encrypt this disk!");
  EXPECT_TRUE(fake_.formats.empty());
}

}  // namespace
