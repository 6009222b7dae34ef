#include "platform/ui/menu.h"

#include <map>

#include "platform/ui/ui_seam.h"
#include "platform/ui/wnd.h"

namespace {
std::map<UINT, std::shared_ptr<MenuData>>& MenuTemplates() {
  static std::map<UINT, std::shared_ptr<MenuData>> templates;
  return templates;
}

std::shared_ptr<MenuData> DeepCopy(const MenuData& source) {
  auto copy = std::make_shared<MenuData>();
  for (const MenuItem& item : source.items) {
    MenuItem c = item;
    if (item.popup) c.popup = DeepCopy(*item.popup);
    copy->items.push_back(std::move(c));
  }
  return copy;
}
}  // namespace

namespace tarn::ui {
void RegisterMenuTemplate(UINT id, std::shared_ptr<MenuData> menu) { MenuTemplates()[id] = std::move(menu); }
}  // namespace tarn::ui

BOOL CMenu::LoadMenu(UINT id) {
  auto it = MenuTemplates().find(id);
  if (it == MenuTemplates().end()) return FALSE;
  m_data = DeepCopy(*it->second);
  return TRUE;
}

BOOL CMenu::CreatePopupMenu() {
  m_data = std::make_shared<MenuData>();
  return TRUE;
}

BOOL CMenu::DestroyMenu() {
  BOOL had = m_data != nullptr;
  m_data.reset();
  m_subMenus.clear();
  return had;
}

CMenu* CMenu::GetSubMenu(int pos) {
  if (!m_data || pos < 0 || pos >= GetMenuItemCount()) return nullptr;
  MenuItem& item = m_data->items[static_cast<size_t>(pos)];
  if (!(item.flags & MF_POPUP) || !item.popup) return nullptr;
  auto sub = std::make_unique<CMenu>();
  sub->Attach(item.popup);
  m_subMenus.push_back(std::move(sub));
  return m_subMenus.back().get();
}

BOOL CMenu::AppendMenu(UINT flags, UINT_PTR id, LPCSTR text) {
  return InsertMenu(static_cast<UINT>(GetMenuItemCount()), flags | MF_BYPOSITION, id, text);
}

BOOL CMenu::AppendMenu(UINT flags, CMenu* popup, LPCSTR text) {
  return InsertMenu(static_cast<UINT>(GetMenuItemCount()), flags | MF_BYPOSITION, popup, text);
}

BOOL CMenu::InsertMenu(UINT pos, UINT flags, UINT_PTR id, LPCSTR text) {
  if (!m_data || (flags & MF_POPUP)) return FALSE;
  MenuItem item;
  item.flags = flags & ~MF_BYPOSITION;
  item.id = static_cast<UINT>(id);
  item.text = text ? text : "";
  auto& items = m_data->items;
  size_t at = std::min<size_t>(pos, items.size());
  items.insert(items.begin() + static_cast<long>(at), std::move(item));
  return TRUE;
}

BOOL CMenu::InsertMenu(UINT pos, UINT flags, CMenu* popup, LPCSTR text) {
  if (!m_data || !popup || !popup->m_data) return FALSE;
  MenuItem item;
  item.flags = (flags & ~MF_BYPOSITION) | MF_POPUP;
  item.text = text ? text : "";
  item.popup = popup->m_data;
  auto& items = m_data->items;
  size_t at = std::min<size_t>(pos, items.size());
  items.insert(items.begin() + static_cast<long>(at), std::move(item));
  return TRUE;
}

int CMenu::GetMenuItemCount() const { return m_data ? static_cast<int>(m_data->items.size()) : -1; }

UINT CMenu::GetMenuItemID(int pos) const {
  if (!m_data || pos < 0 || pos >= GetMenuItemCount()) return static_cast<UINT>(-1);
  const MenuItem& item = m_data->items[static_cast<size_t>(pos)];
  if (item.flags & MF_POPUP) return static_cast<UINT>(-1);
  return item.flags & MF_SEPARATOR ? 0 : item.id;
}

std::string CMenu::GetMenuString(int pos) const {
  if (!m_data || pos < 0 || pos >= GetMenuItemCount()) return {};
  return m_data->items[static_cast<size_t>(pos)].text;
}

BOOL CMenu::TrackPopupMenu(UINT flags, int x, int y, CWnd* owner) {
  if (!m_data) return FALSE;
  UINT chosen = tarn::ui::CurrentUiSeam().TrackPopupMenu(*m_data, POINT{x, y}, owner ? owner->GetSafeHwnd() : nullptr);
  if (flags & TPM_RETURNCMD) return static_cast<BOOL>(chosen);
  if (chosen != 0 && owner) owner->PostMessage(WM_COMMAND, chosen, 0);
  return TRUE;
}
