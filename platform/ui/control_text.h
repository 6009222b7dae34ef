// Window text of the Qt widget behind a window, whatever its kind.
#pragma once

#include <string>

class CWnd;

namespace tarn::ui {
void SetControlText(CWnd* wnd, const std::string& text);
std::string GetControlText(const CWnd* wnd);
}  // namespace tarn::ui
