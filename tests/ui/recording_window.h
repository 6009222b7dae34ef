// A plain window that records the messages it receives, to stand in for
// the application's main window.
#pragma once

#include <vector>

#include "platform/ui/afxwin.h"

namespace tarn::ui::testing {

struct Received {
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};

class RecordingWindow : public CWnd {
 public:
  RecordingWindow() { CreateEx(0, WS_POPUP, RECT{0, 0, 200, 200}, nullptr, 0); }
  LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg != WM_PAINT && msg != WM_ERASEBKGND && msg != WM_SIZE) received.push_back({msg, wParam, lParam});
    return CWnd::WindowProc(msg, wParam, lParam);
  }
  std::vector<UINT> Commands() const {
    std::vector<UINT> ids;
    for (const Received& r : received)
      if (r.msg == WM_COMMAND) ids.push_back(LOWORD(r.wParam));
    return ids;
  }
  std::vector<Received> received;
};

}  // namespace tarn::ui::testing
