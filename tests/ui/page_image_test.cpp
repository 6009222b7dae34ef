// The CD/DVD image pages and the Create Image page against the in-memory
// service.
#include "app/pages.h"
#include "tests/ui/page_fixture.h"

using namespace tarn::ui::testing;
using tarn::ui::TypeText;

namespace {

TEST(ImageDestination, DerivedInLowerCaseByModeInTheSameFolder) {
  struct Case {
    const char* source;
    bool encrypt;
    const char* destination;
  } cases[] = {
      {"/data/Disc.ISO", true, "/data/disc.enc.iso"},
      {"/data/disc.iso", true, "/data/disc.enc.iso"},
      {"/data/Disc.Enc.Iso", false, "/data/disc.iso"},
      {"/data/disc.iso", false, "/data/disc.dec.iso"},
      {"/data/Notes.TXT", true, "/data/notes.txt"},
      {"/data/Notes.TXT", false, "/data/notes.txt"},
      {"", true, ""},
      // Folders are kept as typed: lowered, they would name another folder.
      {"/a.iso/b.iso", true, "/a.iso/b.enc.iso"},
      {"/Data/My.Discs/Film.ISO", true, "/Data/My.Discs/film.enc.iso"},
      {"/Data/Sealed.ENC.ISO", false, "/Data/sealed.iso"},
      {"Disc.ISO", true, "disc.enc.iso"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CPageImageEnc::DeriveDestination(c.source, c.encrypt), c.destination) << c.source;
}

class ImagePageTest : public PageTest {
 protected:
  void SetUp() override {
    PageTest::SetUp();
    Open();
  }
  CPageImageEnc& Enc() { return dialog_->PageImageEnc(); }
};

TEST_F(ImagePageTest, TypingASourceDerivesTheDestination) {
  dialog_->SendMessage(WM_COMMAND, ID_DECRYPTCDIMAGE, 0);
  CPageImageEnc& dec = dialog_->PageImageDec();
  EXPECT_EQ(Text(dec, IDOK), "Decrypt");
  TypeText(dec, IDC_IMG_SOURCE, "/x/A.enc.iso");
  EXPECT_EQ(Text(dec, IDC_IMG_DEST), "/x/a.iso");
}

TEST_F(ImagePageTest, CancelledBrowseLeavesBothPaths) {
  TypeText(Enc(), IDC_IMG_SOURCE, "/x/a.iso");
  seam_.fileAnswers = {{IDCANCEL, ""}, {IDCANCEL, ""}};
  Click(Enc(), IDC_IMG_BROWSE_SOURCE);
  Click(Enc(), IDC_IMG_BROWSE_DEST);
  EXPECT_EQ(Text(Enc(), IDC_IMG_SOURCE), "/x/a.iso");
  EXPECT_EQ(Text(Enc(), IDC_IMG_DEST), "/x/a.enc.iso");
  EXPECT_EQ(seam_.fileRequests.at(0).filter, "Iso Files (*.iso)|*.iso||");
}

TEST_F(ImagePageTest, OverwriteNoStartsNothingAndLeavesNoWaitCursor) {
  fake_.files.insert("/x/a.enc.iso");
  TypeText(Enc(), IDC_IMG_SOURCE, "/x/a.iso");
  seam_.messageBoxAnswers = {IDNO};
  Click(Enc(), IDOK);
  EXPECT_EQ(seam_.messageBoxes.at(0).text, "The destination /x/a.enc.iso is already exist, do you want overwrite it?");
  EXPECT_EQ(seam_.messageBoxes.at(0).caption, "Question");
  EXPECT_TRUE(fake_.calls.empty());
  EXPECT_TRUE(seam_.dialogsShown.empty());
  EXPECT_FALSE(tarn::ui::WaitCursorShown());
  EXPECT_FALSE(Enc().Converting());
}

TEST_F(ImagePageTest, EncryptThenDecryptBackThroughThePages) {
  TypeText(Enc(), IDC_IMG_SOURCE, "/x/a.iso");
  AnswerPassword("disc");
  Click(Enc(), IDOK);
  ASSERT_EQ(Ops(), (std::vector<std::string>{"image"}));
  EXPECT_EQ(fake_.calls[0].b, "/x/a.enc.iso");
  EXPECT_EQ(fake_.calls[0].n, 1);
  EXPECT_TRUE(Enc().HasTimer(0));
  EXPECT_TRUE(dialog_->Busy);
  fake_.FinishConversion(0);
  Enc().SendMessage(WM_TIMER, 0, 0);
  EXPECT_EQ(seam_.messageBoxes.back().text, "Encrypt cd/dvd image complete!");
  EXPECT_FALSE(dialog_->Busy);
  EXPECT_EQ(fake_.encryptedImages.at("/x/a.enc.iso"), "disc");

  dialog_->SendMessage(WM_COMMAND, ID_DECRYPTCDIMAGE, 0);
  CPageImageEnc& dec = dialog_->PageImageDec();
  TypeText(dec, IDC_IMG_SOURCE, "/x/a.enc.iso");
  fake_.files.erase("/x/a.iso");
  AnswerPassword("disc");
  Click(dec, IDOK);
  ASSERT_EQ(fake_.calls.size(), 2u);
  EXPECT_EQ(fake_.calls[1].a, "/x/a.enc.iso");
  EXPECT_EQ(fake_.calls[1].b, "/x/a.iso");
  EXPECT_EQ(fake_.calls[1].n, 0);
  EXPECT_TRUE(dec.HasTimer(1));
  fake_.FinishConversion(0);
  dec.SendMessage(WM_TIMER, 1, 0);
  EXPECT_EQ(seam_.messageBoxes.back().text, "Decrypt cd/dvd image complete!");
  EXPECT_TRUE(seam_.unexpected.empty());
}

// After a refused start, Retry and Ignore go on polling as if it had
// started; the polling must end although the service never finishes.
TEST_F(ImagePageTest, PollingAfterARefusedStartEnds) {
  for (int answer : {IDRETRY, IDIGNORE}) {
    fake_.startResult = 0x57;  // ERROR_INVALID_PARAMETER: nothing was claimed
    fake_.conversion.finished = 0;
    TypeText(Enc(), IDC_IMG_SOURCE, "/x/b.iso");
    AnswerPassword("pw");
    seam_.messageBoxAnswers = {answer};
    Click(Enc(), IDOK);
    EXPECT_NE(seam_.messageBoxes.back().text.find("error code 57"), std::string::npos);
    EXPECT_EQ(seam_.messageBoxes.back().type, static_cast<UINT>(MB_ABORTRETRYIGNORE | MB_ICONERROR));
    EXPECT_TRUE(Enc().Converting());
    size_t shown = seam_.messageBoxes.size();
    Enc().SendMessage(WM_TIMER, 0, 0);
    EXPECT_FALSE(Enc().HasTimer(0));
    EXPECT_FALSE(Enc().Converting());
    EXPECT_TRUE(Enc().IsWindowEnabled());
    EXPECT_FALSE(dialog_->Busy);
    EXPECT_EQ(seam_.messageBoxes.size(), shown);  // no "complete!" for what never ran
  }
}

TEST_F(ImagePageTest, BusyServiceIsFollowedUntilItsConversionEnds) {
  fake_.startResult = 170;  // ERROR_BUSY: someone else's conversion runs
  fake_.conversion.finished = 0;
  TypeText(Enc(), IDC_IMG_SOURCE, "/x/b.iso");
  AnswerPassword("pw");
  seam_.messageBoxAnswers = {IDIGNORE};
  Click(Enc(), IDOK);
  Enc().SendMessage(WM_TIMER, 0, 0);
  EXPECT_TRUE(Enc().Converting());
  fake_.conversion.finished = 1;
  Enc().SendMessage(WM_TIMER, 0, 0);
  EXPECT_FALSE(Enc().Converting());
  EXPECT_FALSE(dialog_->Busy);
}

TEST_F(ImagePageTest, AbortAfterARefusedStartStartsNoPolling) {
  fake_.startResult = 0x57;
  TypeText(Enc(), IDC_IMG_SOURCE, "/x/b.iso");
  AnswerPassword("pw");
  seam_.messageBoxAnswers = {IDABORT};
  Click(Enc(), IDOK);
  EXPECT_FALSE(Enc().HasTimer(0));
  EXPECT_FALSE(dialog_->Busy);
}

class CreateImageTest : public PageTest {
 protected:
  void SetUp() override {
    PageTest::SetUp();
    Open();
  }
  CPageCreateImage& Page() { return dialog_->PageCreateImage(); }
  void SetText(int id, const std::string& text) { Page().GetDlgItem(id)->SetWindowText(text); }
};

TEST_F(CreateImageTest, Defaults) {
  EXPECT_EQ(Text(Page(), IDC_CI_SIZE), "200");
  EXPECT_EQ(Text(Page(), IDC_CI_LABEL), "DEFAULT VOL");
  EXPECT_EQ(Text(Page(), IDC_CI_FS), "FAT");
  EXPECT_EQ(GetCheck(Page().GetDlgItem(IDC_CI_ENCRYPT)), BST_UNCHECKED);
  // The label edit takes at most 11 characters.
  CDialog& page = Page();
  page.GetDlgItem(IDC_CI_LABEL)->SetWindowText("");
  TypeText(page, IDC_CI_LABEL, "ABCDEFGHIJKLMN");
  EXPECT_EQ(Text(Page(), IDC_CI_LABEL), "ABCDEFGHIJK");
}

TEST_F(CreateImageTest, SizeInMegabytesBecomesA64BitByteCount) {
  struct Case {
    const char* size;
    int64_t bytes;
  } cases[] = {{"4096", 4294967296ll}, {"1", 1048576}, {"2147483647", 2147483647ll * 1048576}};
  for (const Case& c : cases) {
    fake_.calls.clear();
    SetText(IDC_CI_PATH, "/x/new.img");
    SetText(IDC_CI_SIZE, c.size);
    Click(Page(), IDOK);
    ASSERT_EQ(Ops(), (std::vector<std::string>{"create"})) << c.size;
    EXPECT_EQ(fake_.calls[0].size, c.bytes) << c.size;
    fake_.files.clear();
  }
  EXPECT_EQ(seam_.messageBoxes.back().text, "Create disk image complete!");
}

TEST_F(CreateImageTest, BadInputAsksAndSendsNothing) {
  SetText(IDC_CI_PATH, "/x/new.img");
  SetText(IDC_CI_SIZE, "12a");
  Click(Page(), IDOK);
  SetText(IDC_CI_SIZE, "10");
  SetText(IDC_CI_PATH, "");
  Click(Page(), IDOK);
  fake_.files.insert("/x/old.img");
  SetText(IDC_CI_PATH, "/x/old.img");
  seam_.messageBoxAnswers = {IDNO};
  Click(Page(), IDOK);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Please enter an integer.", "Please input image file path!",
                                                  "The file /x/old.img is already exist, do you want overwrite it?"}));
  EXPECT_TRUE(fake_.calls.empty());
}

TEST_F(CreateImageTest, FailedCreationReportsPathAndCode) {
  fake_.createResult = 0x70;
  SetText(IDC_CI_PATH, "/x/new.img");
  Click(Page(), IDOK);
  ASSERT_EQ(seam_.messageBoxes.size(), 1u);
  EXPECT_EQ(seam_.messageBoxes[0].text, "An error occurred while creating image file: /x/new.img, error code 70.");
  EXPECT_EQ(seam_.messageBoxes[0].caption, "Error");
}

TEST_F(CreateImageTest, CancelledPasswordLeavesAnUnencryptedImageAndNoMessage) {
  SetText(IDC_CI_PATH, "/x/plain.img");
  SetCheck(Page().GetDlgItem(IDC_CI_ENCRYPT), BST_CHECKED);
  CancelDialog();
  Click(Page(), IDOK);
  EXPECT_EQ(Ops(), (std::vector<std::string>{"create"}));
  EXPECT_TRUE(fake_.files.count("/x/plain.img"));
  EXPECT_FALSE(fake_.encryptedImages.count("/x/plain.img"));
  EXPECT_TRUE(seam_.messageBoxes.empty());
  EXPECT_FALSE(Page().Converting());
}

TEST_F(CreateImageTest, CreateWithEncryptionInPlace) {
  SetText(IDC_CI_PATH, "/x/secret.img");
  SetCheck(Page().GetDlgItem(IDC_CI_ENCRYPT), BST_CHECKED);
  AnswerPassword("pw");
  Click(Page(), IDOK);
  ASSERT_EQ(Ops(), (std::vector<std::string>{"create", "image"}));
  EXPECT_EQ(fake_.calls[1].a, "/x/secret.img");
  EXPECT_EQ(fake_.calls[1].b, "/x/secret.img");
  EXPECT_TRUE(dialog_->Busy);
  fake_.FinishConversion(0);
  Page().SendMessage(WM_TIMER, 0, 0);
  EXPECT_EQ(seam_.messageBoxes.back().text, "Create and encrypt disk image complete!");
  EXPECT_EQ(fake_.encryptedImages.at("/x/secret.img"), "pw");
  EXPECT_FALSE(dialog_->Busy);
  EXPECT_TRUE(Page().IsWindowEnabled());
}

TEST_F(CreateImageTest, PollingAfterARefusedEncryptionStartEnds) {
  SetText(IDC_CI_PATH, "/x/secret.img");
  SetCheck(Page().GetDlgItem(IDC_CI_ENCRYPT), BST_CHECKED);
  fake_.startResult = 0x57;
  AnswerPassword("pw");
  seam_.messageBoxAnswers = {IDRETRY};
  Click(Page(), IDOK);
  EXPECT_TRUE(Page().Converting());
  Page().SendMessage(WM_TIMER, 0, 0);
  EXPECT_FALSE(Page().Converting());
  EXPECT_FALSE(Page().HasTimer(0));
  EXPECT_FALSE(dialog_->Busy);
}

}  // namespace
