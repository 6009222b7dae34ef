// Menus: popup menus loaded from the program's menu tables or built at run
// time, shown with TrackPopupMenu through the seam.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/ui/winuser.h"

class CWnd;
struct MenuData;

struct MenuItem {
  UINT flags = MF_STRING;
  UINT id = 0;
  std::string text;
  std::shared_ptr<MenuData> popup;  // for MF_POPUP
};

struct MenuData {
  std::vector<MenuItem> items;
};

namespace tarn::ui {
// The program's menu resources, registered at start-up like a resource script.
void RegisterMenuTemplate(UINT id, std::shared_ptr<MenuData> menu);
}  // namespace tarn::ui

class CMenu {
 public:
  BOOL LoadMenu(UINT id);  // a deep copy of the registered menu
  BOOL CreatePopupMenu();
  BOOL DestroyMenu();
  CMenu* GetSubMenu(int pos);
  BOOL AppendMenu(UINT flags, UINT_PTR idOrPopup = 0, LPCSTR text = nullptr);
  BOOL AppendMenu(UINT flags, CMenu* popup, LPCSTR text);
  BOOL InsertMenu(UINT pos, UINT flags, UINT_PTR id = 0, LPCSTR text = nullptr);
  BOOL InsertMenu(UINT pos, UINT flags, CMenu* popup, LPCSTR text);
  int GetMenuItemCount() const;
  UINT GetMenuItemID(int pos) const;
  std::string GetMenuString(int pos) const;
  // Shows the menu; the chosen command is posted to owner as WM_COMMAND
  // (or returned with TPM_RETURNCMD).
  BOOL TrackPopupMenu(UINT flags, int x, int y, CWnd* owner);
  std::shared_ptr<MenuData> Data() const { return m_data; }
  void Attach(std::shared_ptr<MenuData> data) { m_data = std::move(data); }

 private:
  std::shared_ptr<MenuData> m_data;
  std::vector<std::unique_ptr<CMenu>> m_subMenus;
};
