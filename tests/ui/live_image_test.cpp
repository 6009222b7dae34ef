// The image pages, the Mount page, the tray menu and the options on a live
// machine: CD/DVD images encrypted and decrypted back, an encrypted image
// created, mounted with its password and unmounted from the tray, and the
// options found in the machine's registry.
#include <windows.h>

#include "app/option_dlg.h"
#include "app/settings.h"
#include "tests/ui/live_fixture.h"

using namespace tarn::ui::testing;
using tarn::svce2e::ReadAll;
using tarn::ui::TypeText;

namespace {

using LiveImagePages = LiveWindowTest;

std::string KnownBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
  return bytes;
}

TEST_F(LiveImagePages, CdImageEncryptedAndDecryptedBackThroughThePages) {
  const std::string plain = root_ + "/Disc.ISO", sealed = root_ + "/disc.enc.iso", back = root_ + "/disc.iso";
  const std::string bytes = KnownBytes(3u << 20);
  std::ofstream(plain, std::ios::binary) << bytes;

  dialog_->SendMessage(WM_COMMAND, ID_ENCRYPTCDIMAGE, 0);
  CPageImageEnc& enc = dialog_->PageImageEnc();
  TypeText(enc, IDC_IMG_SOURCE, plain);
  ASSERT_EQ(Text(enc, IDC_IMG_DEST), sealed);
  seam_.messageBoxAnswers = {IDOK};
  AnswerPassword("disc pw");
  Click(enc, IDOK);
  ASSERT_TRUE(enc.Converting()) << ::testing::PrintToString(seam_.unexpected);
  ASSERT_TRUE(PollToEnd(enc, 0, [&] { return enc.Converting(); }));
  EXPECT_EQ(LastBox(), "Encrypt cd/dvd image complete!");
  const std::string ciphertext = ReadAll(sealed);
  ASSERT_FALSE(ciphertext.empty());
  EXPECT_EQ(ciphertext.find(bytes.substr(4096, 64)), std::string::npos) << "no plaintext in the encrypted image";

  // The destination exists now: No to the overwrite question starts nothing.
  const size_t boxes = seam_.messageBoxes.size();
  seam_.messageBoxAnswers = {IDNO};
  Click(enc, IDOK);
  EXPECT_FALSE(enc.Converting());
  EXPECT_EQ(seam_.messageBoxes.size(), boxes + 1);
  EXPECT_EQ(seam_.messageBoxes.back().text, "The destination " + sealed + " is already exist, do you want overwrite it?");
  EXPECT_TRUE(ReadAll(sealed) == ciphertext);
  EXPECT_TRUE(seam_.dialogActions.empty());

  dialog_->SendMessage(WM_COMMAND, ID_DECRYPTCDIMAGE, 0);
  CPageImageEnc& dec = dialog_->PageImageDec();
  TypeText(dec, IDC_IMG_SOURCE, sealed);
  ASSERT_EQ(Text(dec, IDC_IMG_DEST), back);
  seam_.messageBoxAnswers = {IDOK};
  AnswerPassword("disc pw");
  Click(dec, IDOK);
  ASSERT_TRUE(dec.Converting()) << ::testing::PrintToString(seam_.unexpected);
  ASSERT_TRUE(PollToEnd(dec, 1, [&] { return dec.Converting(); }));
  EXPECT_EQ(LastBox(), "Decrypt cd/dvd image complete!");
  // Bytes 510 and 511 of the first sector carry the encryption marker on
  // the medium, so only they may come back other than they went in.
  std::string decrypted = ReadAll(back);
  ASSERT_EQ(decrypted.size(), bytes.size());
  EXPECT_TRUE(decrypted.compare(0, 510, bytes, 0, 510) == 0);
  EXPECT_TRUE(decrypted.compare(512, std::string::npos, bytes, 512) == 0) << "decryption gives back the image";
  EXPECT_FALSE(dialog_->Busy);
  EXPECT_TRUE(seam_.unexpected.empty()) << ::testing::PrintToString(seam_.unexpected);
}

// Create an encrypted image, mount it from the Mount page with its password,
// find it unlocked and listed in the tray's unmount submenu, unmount it from
// there.
TEST_F(LiveImagePages, EncryptedImageCreatedMountedAndUnmountedFromTheTray) {
  const std::string image = root_ + "/vault.img";
  dialog_->SendMessage(WM_COMMAND, ID_PRIVATEDISK, 0);
  dialog_->SendMessage(WM_COMMAND, ID_MAKEIMAGE, 0);
  CPageCreateImage& create = dialog_->PageCreateImage();
  create.GetDlgItem(IDC_CI_PATH)->SetWindowText(image);
  create.GetDlgItem(IDC_CI_SIZE)->SetWindowText("24");
  SetCheck(create.GetDlgItem(IDC_CI_ENCRYPT), BST_CHECKED);
  seam_.messageBoxAnswers = {IDOK};
  AnswerPassword("vault pw");
  Click(create, IDOK);
  ASSERT_TRUE(create.Converting()) << ::testing::PrintToString(seam_.unexpected) << LastBox();
  ASSERT_TRUE(PollToEnd(create, 0, [&] { return create.Converting(); }));
  EXPECT_EQ(LastBox(), "Create and encrypt disk image complete!");
  ASSERT_EQ(std::filesystem::file_size(image), 24u << 20);

  dialog_->SendMessage(WM_COMMAND, ID_MOUNTUNMOUNT, 0);
  CPageMount& mount = dialog_->PageMount();
  mount.RefreshList();
  const char letter = mount.ChosenLetter();
  ASSERT_NE(letter, 0);
  mount.GetDlgItem(IDC_MNT_PATH)->SetWindowText(image);
  TypeText(mount, IDC_MNT_PASSWORD, "vault pw");
  seam_.messageBoxAnswers = {IDOK};
  Click(mount, IDOK);
  ASSERT_EQ(LastBox(), "Mount success");
  EXPECT_EQ(CtlStatus(letter) & 0xF, 1) << "mounted and unlocked with the page's password";
  EXPECT_NE(Ctl({"mounts"}).output.find(image), std::string::npos);

  // The tray menu, as the icon's right click opens it.
  seam_.menuAnswers = {0};
  dialog_->SendMessage(WM_TRAYICON, 100, WM_RBUTTONUP);
  ASSERT_EQ(seam_.menusShown.size(), 1u);
  const MenuData& menu = seam_.menusShown[0];
  ASSERT_EQ(menu.items.size(), 10u);
  EXPECT_EQ(menu.items[5].text, "&Unmount Drives");
  ASSERT_TRUE(menu.items[5].popup);
  ASSERT_EQ(menu.items[5].popup->items.size(), 1u);
  const auto& entry = menu.items[5].popup->items[0];
  EXPECT_EQ(entry.text, std::string("Unmount  ") + letter + ":(" + image + ")");

  seam_.messageBoxAnswers = {IDOK};
  dialog_->SendMessage(WM_COMMAND, entry.id, 0);
  EXPECT_EQ(LastBox(), "Unmount success");
  EXPECT_EQ(Ctl({"mounts"}).output.find(image), std::string::npos);
  seam_.menuAnswers = {0};
  dialog_->SendMessage(WM_TRAYICON, 100, WM_RBUTTONUP);
  ASSERT_EQ(seam_.menusShown.size(), 2u);
  EXPECT_EQ(seam_.menusShown[1].items.size(), 8u) << "no unmount submenu once nothing is mounted";
  EXPECT_TRUE(seam_.unexpected.empty()) << ::testing::PrintToString(seam_.unexpected);
}

// Cancel in the password dialog of Create Image leaves a plain image and says nothing.
TEST_F(LiveImagePages, CancelledPasswordLeavesAPlainImage) {
  const std::string image = root_ + "/plain.img";
  CPageCreateImage& create = dialog_->PageCreateImage();
  create.GetDlgItem(IDC_CI_PATH)->SetWindowText(image);
  create.GetDlgItem(IDC_CI_SIZE)->SetWindowText("8");
  SetCheck(create.GetDlgItem(IDC_CI_ENCRYPT), BST_CHECKED);
  seam_.dialogActions.push_back([](CDialog& d) { d.SendMessage(WM_COMMAND, IDCANCEL, 0); });
  Click(create, IDOK);
  EXPECT_FALSE(create.Converting());
  EXPECT_TRUE(seam_.messageBoxes.empty()) << LastBox();
  ASSERT_EQ(std::filesystem::file_size(image), 8u << 20);
  const auto mounted = Ctl({"mount", image});
  ASSERT_EQ(mounted.status, 0) << mounted.output;
  const size_t at = mounted.output.find("Mount success: ");
  ASSERT_NE(at, std::string::npos) << mounted.output;
  EXPECT_EQ(CtlStatus(mounted.output[at + 15]), 0x10000) << "a plain volume";
}

// What the options dialog writes lands in the machine's registry, and the
// next dialog reads it back from there.
TEST_F(LiveImagePages, OptionsPersistInTheMachinesRegistry) {
  seam_.dialogActions.push_back([](CDialog& d) {
    SetCheck(d.GetDlgItem(IDC_OPT_TRAY), BST_UNCHECKED);
    SetCheck(d.GetDlgItem(IDC_OPT_SHELLEXT), BST_UNCHECKED);
    d.SendMessage(WM_COMMAND, IDOK, 0);
  });
  dialog_->SendMessage(WM_COMMAND, ID_TRAY_OPTION, 0);

  auto read = [](const char* name) -> long {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAppKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
    DWORD type = 0, value = 0, size = sizeof(value);
    LONG error = ::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    ::RegCloseKey(key);
    return error == ERROR_SUCCESS && type == REG_DWORD ? static_cast<long>(value) : -1;
  };
  EXPECT_EQ(read(kShowTrayIcon), 0);
  EXPECT_EQ(read(kShellExtensionEnabled), 0);

  // A new window on a new connection reads the stored values.
  dialog_.reset();
  system_ = std::make_unique<RealSystemCalls>();
  dialog_ = std::make_unique<CTarnDlg>(*system_);
  AfxSetMainWnd(dialog_.get());
  ASSERT_TRUE(dialog_->Create(IDD_MAIN, nullptr));
  int trayShown = -1;
  seam_.dialogActions.push_back([&](CDialog& d) {
    trayShown = GetCheck(d.GetDlgItem(IDC_OPT_TRAY));
    SetCheck(d.GetDlgItem(IDC_OPT_TRAY), BST_CHECKED);
    d.SendMessage(WM_COMMAND, IDOK, 0);
  });
  dialog_->SendMessage(WM_COMMAND, ID_HDR_OPTION, 0);
  EXPECT_EQ(trayShown, BST_UNCHECKED);
  EXPECT_EQ(read(kShowTrayIcon), 1);
  EXPECT_EQ(read(kShellExtensionEnabled), 0);
}

}  // namespace
