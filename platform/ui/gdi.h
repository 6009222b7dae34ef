// Colours, metrics, the program's bitmaps and icons, and image lists.
// Visual styles count as absent: colours and metrics are those of the
// classic scheme at 96 dots per inch.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <vector>

#include "platform/ui/winuser.h"

class QPainter;

DWORD GetSysColor(int index);
int GetSystemMetrics(int index);
// Always FALSE: the panel draws its own look.
BOOL IsAppThemed();

// Resources of the program, by their numeric ids (":/res/<id>.png" in the
// program's Qt resource file). A missing resource gives a null handle.
HBITMAP LoadBitmap(UINT id);
HICON LoadIcon(UINT id);

namespace tarn::ui {
QColor ToQColor(COLORREF colour);
COLORREF FromQColor(const QColor& colour);
QPixmap BitmapFromHandle(HBITMAP bitmap);
QIcon IconFromHandle(HICON icon);
// The dialog font of a template, and the base units it gives.
QFont DialogFont(const std::string& face, int pointSize);
QFont SystemFont(bool bold = false);
}  // namespace tarn::ui

#define ILC_MASK 0x0001
#define ILC_COLOR32 0x0020

// An image list of same-size icons.
class CImageList {
 public:
  BOOL Create(int cx, int cy, UINT flags, int initial, int grow);
  int Add(HICON icon);
  int GetImageCount() const { return static_cast<int>(m_images.size()); }
  int Width() const { return m_cx; }
  int Height() const { return m_cy; }
  // Draws image index with its top-left at (x, y); blend50 draws it half
  // mixed with the highlight colour, as a hot item shows it.
  BOOL Draw(QPainter& painter, int index, int x, int y, bool blend50 = false) const;

 private:
  int m_cx = 16;
  int m_cy = 16;
  std::vector<QPixmap> m_images;
};
