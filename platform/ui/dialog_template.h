// Dialog templates: the control tables of the program's resource script,
// registered at start-up and turned into Qt widgets by CDialog.
#pragma once

#include <string>
#include <vector>

#include <QFont>

#include "platform/ui/wnd.h"

struct DLGITEMTEMPLATE {
  int id;
  ControlKind kind;
  std::string text;
  int x, y, cx, cy;  // dialog units
  DWORD style = 0;
  UINT image = 0;    // bitmap resource of a bitmap static
  bool hidden = false;  // created without WS_VISIBLE
};

struct DLGTEMPLATE {
  UINT id = 0;
  std::string caption;
  int cx = 0, cy = 0;  // dialog units
  std::string fontFace = "MS Shell Dlg";
  int fontSize = 8;
  DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  DWORD exStyle = 0;
  std::vector<DLGITEMTEMPLATE> items;
};

namespace tarn::ui {
void RegisterDialogTemplate(const DLGTEMPLATE& tmpl);
const DLGTEMPLATE* FindDialogTemplate(UINT id);

// Average character width and height of a font, as GetDialogBaseUnits
// reports them for a dialog that uses it.
struct BaseUnits {
  int cx;
  int cy;
};
BaseUnits DialogBaseUnits(const QFont& font);
// Dialog units to pixels: x * cx / 4, y * cy / 8.
RECT MapDialogRect(const RECT& du, BaseUnits units);

// Builds the control of one template item as a child of parent.
CWnd* CreateTemplateControl(const DLGITEMTEMPLATE& item, CWnd* parent, BaseUnits units, const QFont& font);
}  // namespace tarn::ui
