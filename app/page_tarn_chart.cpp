// The Disk Encryption page's pie chart and legend squares.
#include <QPainter>
#include <QPainterPath>

#include "app/pages.h"
#include "app/resource.h"

namespace {
constexpr COLORREF kFreeColour = RGB(65, 105, 225);
constexpr COLORREF kTotalColour = RGB(210, 255, 255);
constexpr int kSideDepth = 7;  // offset fills that make the 3-D side

QColor Colour(COLORREF c) { return QColor(GetRValue(c), GetGValue(c), GetBValue(c)); }

// FillPie of GDI+: angles in degrees, clockwise from the x axis.
void FillPie(QPainter& painter, const QBrush& brush, const QRect& box, int start, int sweep) {
  if (sweep <= 0) return;
  QPainterPath path;
  QPointF centre = QRectF(box).center();
  path.moveTo(centre);
  if (sweep >= 360)
    path.addEllipse(QRectF(box));
  else
    path.arcTo(QRectF(box), -start, -sweep);
  path.closeSubpath();
  painter.fillPath(path, brush);
}

// A 50-percent hatch of fore over back.
void FillHatchedPie(QPainter& painter, QColor fore, QColor back, const QRect& box, int start, int sweep) {
  FillPie(painter, QBrush(back), box, start, sweep);
  if (fore != back) FillPie(painter, QBrush(fore, Qt::Dense4Pattern), box, start, sweep);
}
}  // namespace

COLORREF CPageTarn::StateColour(int state) {
  switch (state) {
    case 0:
      return RGB(238, 130, 238);
    case 1:
      return RGB(32, 178, 170);
    case 2:
      return RGB(119, 136, 153);
    default:
      return RGB(211, 211, 211);
  }
}

int CPageTarn::UsedAngle(int state, int64_t total, int64_t free) {
  if (state == 2 || state == 3) return 360;
  if (state != 0 && state != 1) return -1;
  // A zero (or nonsensical) total gives no sound angle: nothing is drawn.
  if (total <= 0 || free < 0 || free > total) return -1;
  // free * 360 stays far inside 64 bits for any real drive size.
  return static_cast<int>(360 - (free * 360) / total);
}

RECT CPageTarn::ChartRect() const {
  RECT r{0, 0, 0, 0};
  if (CWnd* frame = GetDlgItem(IDC_TARN_CHART)) frame->GetWindowRect(&r);
  return r;
}

void CPageTarn::Paint() {
  CPaintDC dc(this);
  if (!dc.valid() || m_drive.empty()) return;
  int64_t total = 0;
  int64_t free = 0;
  long status = m_system.SvcQueryDrive(DevicePath().c_str(), m_drive.c_str(), &total, &free);
  int state = status & 0xF;
  QPainter& painter = dc.painter();
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, true);
  int used = UsedAngle(state, total, free);
  if (used >= 0) DrawChart(painter, state, used);
  painter.restore();
  DrawLegend(painter, IDC_TARN_LABEL_TOTAL, kTotalColour);
  DrawLegend(painter, IDC_TARN_LABEL_USED, StateColour(state));
  DrawLegend(painter, IDC_TARN_LABEL_FREE, kFreeColour);
}

void CPageTarn::DrawChart(QPainter& painter, int state, int usedAngle) {
  RECT r = ChartRect();
  QRect box(r.left, r.top, r.right - r.left, r.bottom - r.top);
  if (box.width() <= 0 || box.height() <= 0) return;
  QColor stateColour = Colour(StateColour(state));
  QColor freeColour = Colour(kFreeColour);
  int freeSweep = 360 - usedAngle;
  for (int i = 0; i < kSideDepth; ++i)
    FillHatchedPie(painter, Qt::black, Qt::black, box.translated(0, i), usedAngle, freeSweep);
  for (int i = 0; i < kSideDepth; ++i)
    FillHatchedPie(painter, stateColour, Qt::black, box.translated(0, i), 0, usedAngle);
  FillPie(painter, QBrush(stateColour), box, 0, usedAngle);
  FillPie(painter, QBrush(freeColour), box, usedAngle, freeSweep);
}

void CPageTarn::DrawLegend(QPainter& painter, int id, COLORREF colour) {
  CWnd* label = GetDlgItem(id);
  if (!label) return;
  RECT r;
  label->GetWindowRect(&r);
  int height = r.bottom - r.top;
  QRect square(r.left - 20, r.top, height, height);
  // A pushed push-button frame: dark upper-left edges, light lower-right.
  painter.fillRect(square, QColor(192, 192, 192));
  painter.setPen(QColor(128, 128, 128));
  painter.drawLine(square.topLeft(), square.topRight());
  painter.drawLine(square.topLeft(), square.bottomLeft());
  painter.setPen(Qt::white);
  painter.drawLine(square.bottomLeft(), square.bottomRight());
  painter.drawLine(square.topRight(), square.bottomRight());
  painter.fillRect(square.adjusted(1, 1, -1, -1), Colour(colour));
}
