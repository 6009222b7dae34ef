// CPicture: a bitmap static of the main window's header used as a button.
#pragma once

#include "platform/ui/afxwin.h"

class CPicture : public CWnd {
 public:
  CPicture();
  ~CPicture() override;
  void SetBitmap(HBITMAP bitmap);
  bool IsPressed() const { return m_pressed; }

 private:
  void OnPaint();
  void OnLButtonDown();
  HBITMAP m_bitmap = nullptr;
  bool m_pressed = false;
};
