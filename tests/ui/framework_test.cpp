// The dialog framework: message delivery, data exchange and its prompts,
// dialog units, file filters, menus and device-change routing.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QWidget>
#include <cstring>

#include "platform/ui/afxwin.h"
#include "platform/ui/scripted_ui_seam.h"
#include "tests/ui/qt_environment.h"
#include "tests/ui/recording_window.h"

using tarn::ui::testing::RecordingWindow;
using tarn::ui::testing::RunUntil;
using tarn::ui::testing::Settle;

namespace {

constexpr UINT kTestDialog = 9001;
constexpr int kText = 100;
constexpr int kNumber = 101;

class ExchangeDialog : public CDialog {
 public:
  ExchangeDialog() : CDialog(kTestDialog) {}
  ~ExchangeDialog() override { DestroyWindow(); }
  void DoDataExchange(CDataExchange* pDX) override {
    DDX_Text(pDX, kText, text);
    DDV_MaxChars(pDX, text, 5);
    DDX_Text(pDX, kNumber, number);
  }
  std::string text;
  int number = 0;
};

void RegisterTestDialog() {
  DLGTEMPLATE t;
  t.id = kTestDialog;
  t.caption = "Test";
  t.cx = 100;
  t.cy = 60;
  t.items = {
      {kText, ControlKind::Edit, "", 5, 5, 90, 12},
      {kNumber, ControlKind::Edit, "", 5, 20, 90, 12},
      {IDOK, ControlKind::PushButton, "OK", 45, 40, 50, 14, BS_DEFPUSHBUTTON},
  };
  tarn::ui::RegisterDialogTemplate(t);
}

TEST(DataExchange, IntegerFieldRefusesWhatIsNotAnIntegerWithThePrompt) {
  RegisterTestDialog();
  tarn::ui::ScriptedUiSeam seam;
  ExchangeDialog dialog;
  ASSERT_TRUE(dialog.Create());
  struct Case {
    const char* typed;
    bool accepted;
    int value;
  } cases[] = {
      {"12", true, 12},        {" 7 ", true, 7},         {"-5", true, -5},        {"12a", false, 0},
      {"", false, 0},          {"0x10", false, 0},       {"99999999999", false, 0}, {"2147483647", true, 2147483647},
  };
  for (const Case& c : cases) {
    seam.messageBoxes.clear();
    dialog.number = -1;
    dialog.SetDlgItemText(kNumber, c.typed);
    EXPECT_EQ(dialog.UpdateData(TRUE), c.accepted ? TRUE : FALSE) << c.typed;
    if (c.accepted) {
      EXPECT_EQ(dialog.number, c.value) << c.typed;
      EXPECT_TRUE(seam.messageBoxes.empty()) << c.typed;
    } else {
      EXPECT_EQ(dialog.number, -1) << "a refused value leaves the member alone: " << c.typed;
      ASSERT_EQ(seam.messageBoxes.size(), 1u) << c.typed;
      EXPECT_EQ(seam.messageBoxes[0].text, "Please enter an integer.");
    }
  }
}

TEST(DataExchange, MaxCharsLimitsTheEditOnLoadAndRefusesLongerTextOnSave) {
  RegisterTestDialog();
  tarn::ui::ScriptedUiSeam seam;
  ExchangeDialog dialog;
  ASSERT_TRUE(dialog.Create());
  // Loading set the limit: typing stops at five characters.
  tarn::ui::TypeText(dialog, kText, "abcdefgh");
  dialog.SetDlgItemText(kNumber, "1");
  EXPECT_EQ(dialog.GetDlgItemText(kText), "abcde");
  EXPECT_TRUE(dialog.UpdateData(TRUE));
  EXPECT_EQ(dialog.text, "abcde");
  // Text that arrived by other means is refused on saving.
  dialog.text = "too long";
  auto* edit = dialog.GetDlgItem(kText);
  edit->GetQWidget()->setProperty("maxLength", 100);
  edit->SetWindowText("too long");
  EXPECT_FALSE(dialog.UpdateData(TRUE));
  ASSERT_EQ(seam.messageBoxes.size(), 1u);
  EXPECT_EQ(seam.messageBoxes[0].text, "Please enter no more than 5 characters.");
  EXPECT_EQ(dialog.text, "too long") << "unchanged member, since the exchange failed";
}

TEST(DialogUnits, RectanglesScaleWithTheFontsBaseUnits) {
  tarn::ui::BaseUnits units{6, 13};
  struct Case {
    RECT du;
    RECT px;
  } cases[] = {
      {{0, 0, 401, 265}, {0, 0, 602, 431}},
      {{7, 7, 231, 27}, {11, 11, 347, 44}},
      {{168, 31, 231, 47}, {252, 50, 347, 76}},
  };
  for (const Case& c : cases) {
    RECT r = tarn::ui::MapDialogRect(c.du, units);
    EXPECT_EQ(r.left, c.px.left);
    EXPECT_EQ(r.top, c.px.top);
    EXPECT_EQ(r.right, c.px.right);
    EXPECT_EQ(r.bottom, c.px.bottom);
  }
  EXPECT_EQ(MulDiv(7, 13, 8), 11);   // 11.375
  EXPECT_EQ(MulDiv(5, 3, 2), 8);     // 7.5 rounds away from zero
  EXPECT_EQ(MulDiv(-5, 3, 2), -8);
  EXPECT_EQ(MulDiv(1, 2, 0), -1);
}

TEST(FileFilters, WindowsFiltersBecomeQtFilters) {
  struct Case {
    const char* windows;
    const char* qt;
  } cases[] = {
      {"Disk Image Files (*.img)|*.img|All Files (*.*)|*.*||", "Disk Image Files (*.img);;All Files (*)"},
      {"CD Image Files (*.iso)|*.iso|All Files (*.*)|*.*||", "CD Image Files (*.iso);;All Files (*)"},
      {"Images|*.img;*.iso||", "Images (*.img *.iso)"},
      {"Broken|", ""},
      {"", ""},
      {"|*.img|Named|*.x", "Named (*.x)"},
  };
  for (const Case& c : cases) EXPECT_EQ(tarn::ui::QtFilterFromWindows(c.windows), c.qt) << c.windows;
}

TEST(FileDialogs, AnswersComeFromTheSeamAndOverlongPathsAreRefused) {
  tarn::ui::ScriptedUiSeam seam;
  seam.fileAnswers.push_back({IDOK, "/tmp/disk.img"});
  seam.fileAnswers.push_back({IDCANCEL, ""});
  seam.fileAnswers.push_back({IDOK, "/" + std::string(300, 'a')});
  CFileDialog open(TRUE, nullptr, nullptr, OFN_HIDEREADONLY, "Disk Image Files (*.img)|*.img|All Files (*.*)|*.*||");
  ASSERT_EQ(open.DoModal(), IDOK);
  EXPECT_EQ(open.GetPathName(), "/tmp/disk.img");
  EXPECT_EQ(open.GetFileName(), "disk.img");
  EXPECT_EQ(open.GetFileExt(), "img");
  EXPECT_TRUE(seam.fileRequests[0].open);
  CFileDialog save(FALSE, "iso");
  EXPECT_EQ(save.DoModal(), IDCANCEL);
  EXPECT_FALSE(seam.fileRequests[1].open);
  EXPECT_EQ(save.DoModal(), IDCANCEL) << "longer than the system dialog can hand back";
}

class MapWindow : public CWnd {
 public:
  MapWindow() {
    CreateEx(0, WS_POPUP, RECT{0, 0, 10, 10}, nullptr, 0);
    OnCommandId(2099, [this] { log.push_back(-2099); });
    OnCommandRange(2000, 3000, [this](UINT id) { log.push_back(static_cast<int>(id)); });
    OnMessage(WM_USER + 1, [this](WPARAM w, LPARAM) {
      log.push_back(static_cast<int>(w));
      return 7;
    });
    OnMessage(WM_TIMER, [this](WPARAM w, LPARAM) {
      ticks.push_back(static_cast<int>(w));
      if (ticks.size() == 2) KillTimer(w);  // a timer killed from its own tick
      return 0;
    });
  }
  std::vector<int> log;
  std::vector<int> ticks;
};

TEST(Messages, SingleCommandsBeatRangesAndPostedMessagesKeepTheirOrder) {
  MapWindow wnd;
  wnd.SendMessage(WM_COMMAND, 2099, 0);
  wnd.SendMessage(WM_COMMAND, 2100, 0);
  wnd.SendMessage(WM_COMMAND, 3001, 0);  // outside: default processing
  EXPECT_EQ(wnd.log, (std::vector<int>{-2099, 2100}));
  EXPECT_EQ(wnd.SendMessage(WM_USER + 1, 5, 0), 7);
  wnd.log.clear();
  for (int i = 1; i <= 3; ++i) EXPECT_TRUE(wnd.PostMessage(WM_USER + 1, i, 0));
  EXPECT_TRUE(wnd.log.empty()) << "posting does not deliver at once";
  Settle();
  EXPECT_EQ(wnd.log, (std::vector<int>{1, 2, 3}));
}

TEST(Messages, MessagesToAWindowThatIsGoneAreDropped) {
  HWND stale;
  {
    auto wnd = std::make_unique<MapWindow>();
    stale = wnd->GetSafeHwnd();
    EXPECT_TRUE(::PostMessage(stale, WM_USER + 1, 1, 0));
  }
  EXPECT_FALSE(IsWindow(stale));
  EXPECT_FALSE(::PostMessage(stale, WM_USER + 1, 2, 0));
  EXPECT_EQ(::SendMessage(stale, WM_USER + 1, 3, 0), 0);
  Settle();  // the message posted while it lived finds nothing and no one crashes
  MapWindow fresh;
  EXPECT_NE(fresh.GetSafeHwnd(), stale) << "handles are never reused";
}

TEST(Messages, TimersTickWithTheirIdUntilKilled) {
  MapWindow wnd;
  wnd.SetTimer(5, 1);
  ASSERT_TRUE(RunUntil([&] { return wnd.ticks.size() >= 2; }));
  EXPECT_FALSE(wnd.HasTimer(5));
  Settle();
  EXPECT_EQ(wnd.ticks, (std::vector<int>{5, 5}));
  EXPECT_FALSE(wnd.KillTimer(5));
}

TEST(Menus, LoadedMenusAreCopiesAndPositionsAndIdsReadAsOnWindows) {
  auto tmpl = std::make_shared<MenuData>();
  auto popup = std::make_shared<MenuData>();
  popup->items = {{MF_STRING, 10, "&One", nullptr}, {MF_SEPARATOR, 0, "", nullptr}, {MF_STRING, 11, "&Two", nullptr}};
  tmpl->items = {{MF_POPUP, 0, "Menu", popup}};
  tarn::ui::RegisterMenuTemplate(77, tmpl);

  CMenu menu;
  ASSERT_TRUE(menu.LoadMenu(77));
  CMenu* sub = menu.GetSubMenu(0);
  ASSERT_NE(sub, nullptr);
  CMenu extra;
  extra.CreatePopupMenu();
  extra.AppendMenu(MF_STRING, 0x8045, "Unmount  E:(x)");
  EXPECT_TRUE(sub->InsertMenu(1, MF_BYPOSITION | MF_SEPARATOR));
  EXPECT_TRUE(sub->InsertMenu(2, MF_BYPOSITION | MF_POPUP, &extra, "&Unmount Drives"));
  EXPECT_EQ(sub->GetMenuItemCount(), 5);
  EXPECT_EQ(sub->GetMenuItemID(0), 10u);
  EXPECT_EQ(sub->GetMenuItemID(1), 0u) << "separator";
  EXPECT_EQ(sub->GetMenuItemID(2), static_cast<UINT>(-1)) << "popup";
  EXPECT_EQ(sub->GetMenuString(2), "&Unmount Drives");
  EXPECT_EQ(sub->GetMenuItemID(9), static_cast<UINT>(-1));
  CMenu again;
  again.LoadMenu(77);
  EXPECT_EQ(again.GetSubMenu(0)->GetMenuItemCount(), 3) << "the template is untouched";
  EXPECT_FALSE(again.LoadMenu(78));

  tarn::ui::ScriptedUiSeam seam;
  RecordingWindow owner;
  seam.menuAnswers.push_back(11);
  EXPECT_TRUE(sub->TrackPopupMenu(TPM_RIGHTBUTTON, 1, 1, &owner));
  seam.menuAnswers.push_back(0);  // dismissed
  sub->TrackPopupMenu(TPM_RIGHTBUTTON, 1, 1, &owner);
  Settle();
  EXPECT_EQ(owner.Commands(), std::vector<UINT>{11});
  ASSERT_EQ(seam.menusShown.size(), 2u);
  EXPECT_EQ(seam.menusShown[0].items[2].popup->items[0].id, 0x8045u);
}

class DeviceWindow : public CDialog {
 public:
  DeviceWindow() : CDialog(kTestDialog) {
    OnMessage(WM_DEVICECHANGE, [this](WPARAM w, LPARAM l) {
      auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(l);
      events.push_back({static_cast<UINT>(w), header->dbch_devicetype});
      if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
        names.push_back(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(l)->dbcc_name);
      return TRUE;
    });
  }
  ~DeviceWindow() override { DestroyWindow(); }
  std::vector<std::pair<UINT, DWORD>> events;
  std::vector<std::string> names;
};

std::vector<char> InterfaceRecord(const GUID& guid, const std::string& name, bool terminate) {
  size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + name.size() + (terminate ? 1 : 0);
  std::vector<char> record(size, '\0');
  auto* iface = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(record.data());
  iface->dbcc_size = static_cast<DWORD>(size);
  iface->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  iface->dbcc_classguid = guid;
  std::memcpy(record.data() + offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name), name.data(), name.size());
  return record;
}

TEST(DeviceChange, InterfaceEventsReachOnlyRegisteredWindowsAndVolumeEventsEveryDialog) {
  RegisterTestDialog();
  DeviceWindow registered;
  DeviceWindow other;
  ASSERT_TRUE(registered.Create());
  ASSERT_TRUE(other.Create());
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = 32;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = GUID_DEVINTERFACE_VOLUME;
  HDEVNOTIFY handle =
      tarn::ui::RegisterWindowDeviceNotification(registered.GetSafeHwnd(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(tarn::ui::RegisterWindowDeviceNotification(nullptr, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);

  auto record = InterfaceRecord(GUID_DEVINTERFACE_VOLUME, "\\\\?\\Volume{1}", true);
  tarn::ui::DeliverDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<DEV_BROADCAST_HDR*>(record.data()));
  GUID otherClass = GUID_DEVINTERFACE_VOLUME;
  otherClass.Data1 ^= 1;
  auto foreign = InterfaceRecord(otherClass, "\\\\?\\Other", true);
  tarn::ui::DeliverDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<DEV_BROADCAST_HDR*>(foreign.data()));
  // A name the sender forgot to terminate still arrives terminated.
  auto unterminated = InterfaceRecord(GUID_DEVINTERFACE_VOLUME, "\\\\?\\Volume{2}", false);
  tarn::ui::DeliverDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<DEV_BROADCAST_HDR*>(unterminated.data()));
  // A record shorter than its kind is dropped.
  DEV_BROADCAST_HDR stub{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};
  tarn::ui::DeliverDeviceChange(DBT_DEVICEARRIVAL, &stub);
  DEV_BROADCAST_VOLUME volume{};
  volume.dbcv_size = sizeof(volume);
  volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  volume.dbcv_unitmask = 1 << 4;
  tarn::ui::DeliverDeviceChange(DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<DEV_BROADCAST_HDR*>(&volume));
  Settle();

  EXPECT_EQ(registered.names, (std::vector<std::string>{"\\\\?\\Volume{1}", "\\\\?\\Volume{2}"}));
  EXPECT_EQ(registered.events.size(), 3u);
  EXPECT_EQ(other.events, (std::vector<std::pair<UINT, DWORD>>{{DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_VOLUME}}));

  EXPECT_TRUE(tarn::ui::UnregisterWindowDeviceNotification(handle));
  EXPECT_FALSE(tarn::ui::UnregisterWindowDeviceNotification(handle));
  tarn::ui::DeliverDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<DEV_BROADCAST_HDR*>(record.data()));
  Settle();
  EXPECT_EQ(registered.names.size(), 2u);
}

TEST(Dialogs, EnterPressesTheDefaultButtonAndTheCloseBoxCancels) {
  RegisterTestDialog();
  tarn::ui::ScriptedUiSeam seam;
  seam.dialogActions.push_back([](CDialog& d) {
    d.SetDlgItemText(kNumber, "4");
    tarn::ui::PressKey(d, Qt::Key_Return);
  });
  ExchangeDialog accepted;
  EXPECT_EQ(accepted.DoModal(), IDOK);
  EXPECT_EQ(accepted.number, 4);
  seam.dialogActions.push_back([](CDialog& d) {
    d.SetDlgItemText(kNumber, "four");
    d.SendMessage(WM_COMMAND, IDOK, 0);  // refused: the dialog stays
    EXPECT_TRUE(d.IsModalLoopRunning());
    d.SendMessage(WM_CLOSE, 0, 0);
  });
  ExchangeDialog cancelled;
  EXPECT_EQ(cancelled.DoModal(), IDCANCEL);
  // A dialog the script did not expect is cancelled, never left hanging.
  ExchangeDialog unexpected;
  EXPECT_EQ(unexpected.DoModal(), IDCANCEL);
  EXPECT_EQ(seam.unexpected.size(), 1u);
}

}  // namespace

namespace {

TEST(MessageBoxes, ButtonsDefaultAndEscapeFollowTheWindowsFlags) {
  struct Case {
    UINT type;
    std::vector<int> ids;
    int defaultId;
    int escapeId;
  } cases[] = {
      {MB_OK, {IDOK}, IDOK, IDOK},
      {MB_OK | MB_ICONEXCLAMATION, {IDOK}, IDOK, IDOK},
      {MB_OKCANCEL, {IDOK, IDCANCEL}, IDOK, IDCANCEL},
      {MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, {IDYES, IDNO}, IDNO, 0},
      {MB_YESNO | MB_DEFBUTTON3, {IDYES, IDNO}, IDYES, 0},
      {MB_YESNOCANCEL | MB_DEFBUTTON3, {IDYES, IDNO, IDCANCEL}, IDCANCEL, IDCANCEL},
      {MB_ABORTRETRYIGNORE | MB_DEFBUTTON2, {IDABORT, IDRETRY, IDIGNORE}, IDRETRY, 0},
      {MB_RETRYCANCEL, {IDRETRY, IDCANCEL}, IDRETRY, IDCANCEL},
      {0x0000000E, {IDOK}, IDOK, IDOK},  // an unknown type shows OK
  };
  for (const Case& c : cases) {
    tarn::ui::MessageBoxButtons layout = tarn::ui::DescribeMessageBox(c.type);
    EXPECT_EQ(layout.ids, c.ids) << std::hex << c.type;
    EXPECT_EQ(layout.defaultId, c.defaultId) << std::hex << c.type;
    EXPECT_EQ(layout.escapeId, c.escapeId) << std::hex << c.type;
  }
}

}  // namespace
