// A real X display for the tests that need a desktop: Xvfb on a display
// number of its own, the system tray trayer on it, and one QApplication on
// Qt's xcb platform. When a piece is missing the environment records why,
// and the tests skip with that message.
#pragma once

#include <string>

namespace tarn::ui::testing {

// Empty when the display and its tray are up; otherwise what is missing.
const std::string& DesktopMissing();

// The X window id of the parent of an X window, 0 when unknown. Asked of
// the X server with xwininfo; empty result when xwininfo is absent.
unsigned long XParentWindow(unsigned long window);
unsigned long XRootWindow();

}  // namespace tarn::ui::testing
