// CLabel: a static text with its own painting: colours, solid or gradient
// background, font settings, 3-D text, rotation, flashing and links.
#pragma once

#include <string>

#include <QFont>

#include "platform/ui/afxwin.h"

typedef struct tagNMHDR {
  HWND hwndFrom;
  UINT_PTR idFrom;
  UINT code;
} NMHDR;

struct LOGFONTA {
  LONG lfHeight = 0;
  LONG lfWidth = 0;
  LONG lfEscapement = 0;
  LONG lfOrientation = 0;
  LONG lfWeight = 400;
  BYTE lfItalic = 0;
  BYTE lfUnderline = 0;
  BYTE lfStrikeOut = 0;
  BYTE lfCharSet = 0;
  char lfFaceName[32] = "MS Shell Dlg";
};

class CLabel : public CWnd {
 public:
  enum LinkKind { LinkNone = 0, LinkHttp = 1, LinkMail = 2 };
  enum FlashKind { FlashNone = 0, FlashModeText = 1, FlashModeBackground = 2 };

  CLabel();
  ~CLabel() override;

  CLabel& SetBkColor(COLORREF colour, COLORREF endColour = 0, BOOL gradient = FALSE);
  CLabel& SetTextColor(COLORREF colour);
  CLabel& SetText(const std::string& text);
  CLabel& SetFontBold(BOOL bold);
  CLabel& SetFontName(const std::string& face, BYTE charSet = 0);
  CLabel& SetFontUnderline(BOOL underline);
  CLabel& SetFontItalic(BOOL italic);
  CLabel& SetFontSize(int points);
  CLabel& SetSunken(BOOL sunken);
  CLabel& SetBorder(BOOL border);
  CLabel& SetTransparent(BOOL transparent);
  CLabel& FlashText(BOOL flash);
  CLabel& FlashBackground(BOOL flash);
  CLabel& SetLink(BOOL link, BOOL notifyParent);
  CLabel& SetLinkCursor(HCURSOR cursor);
  CLabel& SetText3D(BOOL on, BOOL direction = TRUE);
  CLabel& SetRotationAngle(int degrees);
  CLabel& SetHighlightColor(COLORREF colour);
  CLabel& SetFont(const LOGFONTA& font);
  CLabel& SetMailLink(BOOL link, BOOL notifyParent);
  CLabel& SetLinkTarget(const std::string& target);

  // State, for the owner and for tests.
  COLORREF GetTextColor() const { return m_textColour; }
  bool IsFlashOn() const { return m_flashState; }
  int GetFlashMode() const { return m_flashMode; }
  bool IsTransparent() const { return m_transparent; }
  int GetLinkKind() const { return m_linkKind; }
  const LOGFONTA& GetLogFont() const { return m_logFont; }
  // The colour text is drawn in right now (flash included).
  COLORREF EffectiveTextColor() const;
  // Bands of a gradient over a width: min(100, width), the last one
  // reaching the right edge.
  static int GradientBands(int width);

 private:
  void OnPaint();
  void OnClick();
  void Redraw();
  QFont MakeFont() const;
  void ApplyStyle();

  COLORREF m_textColour;
  COLORREF m_buttonFace;
  bool m_hasBkColour = false;
  COLORREF m_bkColour = 0;
  COLORREF m_highlight = RGB(255, 255, 255);
  LOGFONTA m_logFont;
  bool m_flashState = false;
  bool m_transparent = true;
  int m_linkKind = LinkNone;
  bool m_notify = false;
  bool m_text3d = false;
  bool m_3dDirection = false;
  int m_rotation = 0;  // tenths of a degree
  int m_flashMode = FlashNone;
  HCURSOR m_linkCursor = nullptr;
  bool m_gradient = false;
  COLORREF m_gradientStart = 0;
  COLORREF m_gradientEnd = 0;
  std::string m_linkTarget;
};
