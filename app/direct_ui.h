// CWndDirectUI: the navigation panel, a vertical list of collapsible groups
// (CDirectUIGroup) of clickable items (CDirectUIItem). A click on an item
// posts its command to the application's main window.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/ui/afxwin.h"

class QScrollBar;

// blend(colour, f): each channel moves towards 255 by the fraction f
// (truncated); f outside (0, 1] leaves the colour as it is.
COLORREF BlendColour(COLORREF colour, double f);

class CDirectUIItem {
 public:
  enum : DWORD { kHot = 0x1, kDisabled = 0x4 };
  CDirectUIItem(const std::string& caption, UINT command) : m_caption(caption), m_command(command) {}
  virtual ~CDirectUIItem() = default;

  virtual HCURSOR GetCursor() const;
  // Posts the command to the application's main window.
  virtual void Click();
  virtual int ButtonDown() { return 0; }
  virtual void MouseLeave() { m_flags &= ~kHot; }
  virtual void MouseEnter() { m_flags |= kHot; }
  // Returns 1 when the state changed.
  virtual int Enable(BOOL enable);
  // Asks window for the command's image with WM_QUERYITEMIMAGE; -1 unless
  // the answer is positive.
  virtual int QueryImage(HWND window) const;
  virtual BOOL HitTest(POINT pt) const;
  // Draws the item in row (the item's full row in the group body).
  virtual void Draw(QPainter& painter, const RECT& row, int style, const CImageList* images);
  virtual int GetHeight();
  std::string GetCaption() const { return m_caption; }
  void SetCaption(const std::string& caption) {
    m_caption = caption;
    m_height = -1;
  }

  bool IsHot() const { return (m_flags & kHot) != 0; }
  bool IsDisabled() const { return (m_flags & kDisabled) != 0; }
  UINT GetCommand() const { return m_command; }
  int GetImage() const { return m_image; }
  void SetImage(int image) { m_image = image; }
  RECT GetRect() const { return m_rect; }
  // Whether the last drawing had to cut the caption short.
  bool IsElided() const { return m_elided; }

 private:
  DWORD m_flags = 0;
  std::string m_caption;
  int m_image = -1;
  UINT m_command;
  RECT m_rect{0, 0, 0, 0};
  bool m_elided = false;
  int m_height = -1;
};

class CDirectUIGroup {
 public:
  CDirectUIGroup(const std::string& caption, const CImageList* const* images, const int* style)
      : m_caption(caption), m_images(images), m_style(style) {}

  void Layout();
  // Draws the group with its top-left corner at (rect.left, rect.top).
  void Draw(QPainter& painter, const RECT& rect);
  int GetHeight() const { return m_height; }
  std::string GetCaption() const { return m_caption; }
  bool IsCollapsed() const { return m_collapsed != 0; }
  void SetCollapsed(bool collapsed) { m_collapsed = collapsed ? 1 : 0; }
  void MarkForLayout() { m_needsLayout = 1; }
  bool NeedsLayout() const { return m_needsLayout != 0; }
  bool IsHot() const { return (m_hot & 1) != 0; }
  void SetHot(bool hot) { m_hot = hot ? 1 : 0; }
  RECT GetHeaderRect() const { return m_header; }
  std::vector<std::unique_ptr<CDirectUIItem>>& Items() { return m_items; }
  const std::vector<std::unique_ptr<CDirectUIItem>>& Items() const { return m_items; }

 private:
  void DrawHeader(QPainter& painter, const RECT& header);
  std::string m_caption;
  const CImageList* const* m_images;
  const int* m_style;
  int m_height = 0;
  DWORD m_hot = 0;
  RECT m_header{0, 0, 0, 0};
  RECT m_button{0, 0, 0, 0};
  std::vector<std::unique_ptr<CDirectUIItem>> m_items;
  int m_collapsed = 0;
  int m_needsLayout = 1;
};

class CWndDirectUI : public CWnd {
 public:
  CWndDirectUI();
  ~CWndDirectUI() override;

  BOOL Create(const RECT& rect, CWnd* parent, UINT id);
  void SetStyle(int style);
  int GetStyleValue() const { return m_panelStyle; }
  void RemoveAll();
  int AddGroup(const std::string& caption);
  BOOL RemoveGroup(int index);
  BOOL AddItem(int group, const std::string& caption, UINT command);
  BOOL SetItemImage(int group, int item, int image);
  void SetImageList(const CImageList& images);

  int GetGroupCount() const { return static_cast<int>(m_groups.size()); }
  CDirectUIGroup* GetGroup(int index) const;
  CDirectUIItem* GetHotItem() const { return m_hotItem; }
  CDirectUIGroup* GetHotGroup() const { return m_hotGroup; }
  bool IsScrollBarShown() const { return m_scrollShown; }
  int GetScrollPos() const { return m_scrollPos; }
  int GetScrollLimit() const { return m_scrollLimit; }

 private:
  QWidget* CreateOwnWidget(QWidget* parent) override;
  void OnPaint();
  void OnMouseMove(POINT pt);
  void OnLButtonDown();
  void OnLButtonUp();
  BOOL OnSetCursor();
  void OnVScroll(UINT code, int pos);
  void PlaceScrollBar();
  void Repaint();

  int m_panelStyle = 4;
  CImageList m_imageList;
  const CImageList* m_imageListRef = &m_imageList;
  HCURSOR m_handCursor;
  CDirectUIItem* m_hotItem = nullptr;
  CDirectUIGroup* m_hotGroup = nullptr;
  std::vector<std::unique_ptr<CDirectUIGroup>> m_groups;
  QScrollBar* m_scrollBar = nullptr;
  bool m_scrollShown = false;
  int m_scrollPos = 0;
  int m_scrollLimit = 0;
  bool m_settingScroll = false;
};
