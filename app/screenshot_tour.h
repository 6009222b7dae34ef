// --screenshot-tour DIR: shows the main window in each mode and each dialog
// once, saves a PNG of each into DIR and ends. Runs on the demo machine.
#pragma once

#include <string>

class CTarnDlg;
class FakeSystemCalls;

int RunScreenshotTour(CTarnDlg& dialog, FakeSystemCalls& system, const std::string& folder);
