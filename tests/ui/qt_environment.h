// One QApplication on the offscreen platform for every test of this folder
// (qt_environment.cpp), and small helpers to let the event loop run
// (qt_helpers.cpp, also for tests on a real display).
#pragma once

#include <functional>

namespace tarn::ui::testing {
// Runs the event loop until done() holds or about two seconds pass; true
// when done() held. Never a measure of speed: only a guard against hangs.
bool RunUntil(const std::function<bool()>& done);
// Lets posted messages and pending paints run.
void Settle();
}  // namespace tarn::ui::testing
