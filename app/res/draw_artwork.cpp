// Draws the program's artwork (icons and bitmaps 128 to 157) into PNG files.
// Run once after changing a drawing: shroudkeep_artwork <app/res folder>.
// The PNGs are kept in the tree, so a normal build does not need this.
#include <QApplication>
#include <QDir>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdio>
#include <functional>

namespace {

QString g_out;

const QColor kNavy(20, 42, 88);
const QColor kBlue(51, 102, 204);
const QColor kSky(120, 170, 235);
const QColor kGold(232, 176, 48);
const QColor kSteel(96, 110, 130);

void Save(int id, const QImage& image) {
  QString path = g_out + QStringLiteral("/%1.png").arg(id);
  if (!image.save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
}

// Draws on a 4x canvas in 16-unit coordinates and scales down, so small
// icons come out smooth.
QImage Icon16(const std::function<void(QPainter&)>& draw, int size = 16) {
  const int scale = 4;
  QImage big(size * scale, size * scale, QImage::Format_ARGB32_Premultiplied);
  big.fill(Qt::transparent);
  {
    QPainter p(&big);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.scale(scale * size / 16.0, scale * size / 16.0);
    draw(p);
  }
  return big.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

void Padlock(QPainter& p, QPointF at, double s, const QColor& body) {
  p.save();
  p.translate(at);
  p.scale(s, s);
  p.setPen(QPen(QColor(70, 70, 70), 1.1));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(1.5, 0, 5, 6), 0, 180 * 16);
  p.drawLine(QPointF(1.5, 3), QPointF(1.5, 4));
  p.drawLine(QPointF(6.5, 3), QPointF(6.5, 4));
  p.setPen(QPen(body.darker(150), 0.8));
  p.setBrush(body);
  p.drawRoundedRect(QRectF(0.5, 3.8, 7, 5), 1, 1);
  p.setBrush(QColor(60, 40, 10));
  p.setPen(Qt::NoPen);
  p.drawEllipse(QRectF(3.3, 5.3, 1.4, 1.4));
  p.restore();
}

void DiskDrive(QPainter& p, const QColor& face) {
  QLinearGradient g(0, 4, 0, 13);
  g.setColorAt(0, face.lighter(140));
  g.setColorAt(1, face);
  p.setPen(QPen(face.darker(170), 0.9));
  p.setBrush(g);
  p.drawRoundedRect(QRectF(1, 5, 14, 7.5), 1.5, 1.5);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(90, 220, 90));
  p.drawEllipse(QRectF(11.2, 9.6, 1.8, 1.8));
  p.setPen(QPen(face.darker(140), 0.8));
  p.drawLine(QPointF(3, 10.5), QPointF(9, 10.5));
}

void Disc(QPainter& p) {
  QRadialGradient g(QPointF(8, 8), 7.5, QPointF(5, 5));
  g.setColorAt(0, QColor(250, 250, 255));
  g.setColorAt(0.5, QColor(200, 215, 240));
  g.setColorAt(0.8, QColor(230, 200, 240));
  g.setColorAt(1, QColor(170, 190, 220));
  p.setPen(QPen(kSteel, 0.8));
  p.setBrush(g);
  p.drawEllipse(QRectF(0.8, 0.8, 14.4, 14.4));
  p.setBrush(Qt::white);
  p.drawEllipse(QRectF(6, 6, 4, 4));
}

void Arrow(QPainter& p, QPointF from, QPointF to, const QColor& c) {
  p.setPen(QPen(c, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawLine(from, to);
  QLineF line(to, from);
  QLineF a = line;
  a.setLength(3.2);
  a.setAngle(line.angle() + 35);
  QLineF b = line;
  b.setLength(3.2);
  b.setAngle(line.angle() - 35);
  p.drawLine(a);
  p.drawLine(b);
}

void DrawIcons() {
  // 128: the program: a shield with a keyhole.
  auto shield = [](QPainter& p) {
    QPainterPath path;
    path.moveTo(8, 0.8);
    path.cubicTo(10.5, 2.2, 12.8, 2.6, 14.6, 2.6);
    path.cubicTo(14.6, 9.5, 12.2, 13.2, 8, 15.3);
    path.cubicTo(3.8, 13.2, 1.4, 9.5, 1.4, 2.6);
    path.cubicTo(3.2, 2.6, 5.5, 2.2, 8, 0.8);
    QLinearGradient g(0, 0, 16, 16);
    g.setColorAt(0, kSky);
    g.setColorAt(1, kNavy);
    p.setPen(QPen(kNavy.darker(130), 0.7));
    p.setBrush(g);
    p.drawPath(path);
    p.setPen(Qt::NoPen);
    p.setBrush(kGold);
    p.drawEllipse(QRectF(6.4, 4.8, 3.2, 3.2));
    QPainterPath slot;
    slot.moveTo(7.2, 7.4);
    slot.lineTo(6.6, 11.2);
    slot.lineTo(9.4, 11.2);
    slot.lineTo(8.8, 7.4);
    slot.closeSubpath();
    p.drawPath(slot);
  };
  Save(128, Icon16(shield, 32));

  Save(149, Icon16([](QPainter& p) {  // refresh
    p.setPen(QPen(QColor(40, 140, 60), 1.8, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(2.5, 2.5, 11, 11), 30 * 16, 150 * 16);
    p.drawArc(QRectF(2.5, 2.5, 11, 11), 210 * 16, 150 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 140, 60));
    QPolygonF head1({{12.9, 1.8}, {14.6, 6.6}, {9.9, 5.6}});
    QPolygonF head2({{3.1, 14.2}, {1.4, 9.4}, {6.1, 10.4}});
    p.drawPolygon(head1);
    p.drawPolygon(head2);
  }));
  Save(152, Icon16([](QPainter& p) { DiskDrive(p, QColor(150, 160, 175)); }));  // plain disk
  Save(154, Icon16([](QPainter& p) {                                          // encrypted disk
    DiskDrive(p, QColor(150, 160, 175));
    Padlock(p, QPointF(7.6, 0.4), 1.0, kGold);
  }));
  Save(151, Icon16([](QPainter& p) { Disc(p); }));  // CD/DVD drive
  Save(156, Icon16([](QPainter& p) {                // encrypted CD/DVD
    Disc(p);
    Padlock(p, QPointF(7.6, 6.6), 1.0, kGold);
  }));
  Save(153, Icon16([](QPainter& p) {  // decrypt CD image: disc with an open lock
    Disc(p);
    p.save();
    p.translate(7.6, 6.6);
    p.setPen(QPen(QColor(70, 70, 70), 1.1));
    p.drawArc(QRectF(3.5, -1.5, 5, 6), 0, 180 * 16);
    p.setPen(QPen(QColor(170, 120, 20), 0.8));
    p.setBrush(QColor(150, 210, 120));
    p.drawRoundedRect(QRectF(0.5, 3.8, 7, 5), 1, 1);
    p.restore();
  }));
  Save(157, Icon16([](QPainter& p) {  // mount/unmount: an image going into a drive
    DiskDrive(p, QColor(150, 160, 175));
    Arrow(p, QPointF(8, 0.8), QPointF(8, 6.8), kBlue);
  }));
  Save(148, Icon16([](QPainter& p) {  // a key
    p.setPen(QPen(kGold.darker(140), 0.8));
    p.setBrush(kGold);
    p.drawEllipse(QRectF(1, 4.5, 7, 7));
    p.drawRect(QRectF(7, 7, 8, 2));
    p.drawRect(QRectF(12, 9, 1.6, 2.5));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(3, 6.8, 2.4, 2.4));
  }));
  Save(155, Icon16([](QPainter& p) {  // an image file
    QPainterPath page;
    page.moveTo(3, 1);
    page.lineTo(10, 1);
    page.lineTo(13, 4);
    page.lineTo(13, 15);
    page.lineTo(3, 15);
    page.closeSubpath();
    p.setPen(QPen(kSteel, 0.8));
    p.setBrush(Qt::white);
    p.drawPath(page);
    p.setBrush(kSky);
    p.drawRoundedRect(QRectF(4.5, 8, 7, 4.5), 0.8, 0.8);
  }));
  Save(150, Icon16([](QPainter& p) {  // a network disk
    DiskDrive(p, QColor(150, 160, 175));
    p.setPen(QPen(kSteel, 1.2));
    p.drawLine(QPointF(8, 12.5), QPointF(8, 15));
    p.drawLine(QPointF(3, 15), QPointF(13, 15));
    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    p.drawEllipse(QRectF(2, 0.5, 4, 4));
    p.drawEllipse(QRectF(10, 0.5, 4, 4));
  }));
}

QFont Sans(int px, bool bold) {
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPixelSize(px);
  f.setBold(bold);
  return f;
}

void DrawBitmaps(int cx, int cy) {
  auto du = [cx, cy](int w, int h) { return QSize((w * cx + 2) / 4, (h * cy + 4) / 8); };

  // 129: the banner with the product name and the key length.
  QSize bannerSize = du(455, 30);
  QImage banner(bannerSize, QImage::Format_ARGB32_Premultiplied);
  {
    QPainter p(&banner);
    p.setRenderHint(QPainter::Antialiasing, true);
    QLinearGradient g(0, 0, bannerSize.width(), 0);
    g.setColorAt(0, kNavy);
    g.setColorAt(0.6, kBlue);
    g.setColorAt(1, kSky);
    p.fillRect(banner.rect(), g);
    // Faint concentric arcs, like the tracks of a disk.
    p.setPen(QPen(QColor(255, 255, 255, 28), 1.2));
    for (int r = 30; r < 260; r += 18) p.drawEllipse(QPointF(bannerSize.width() * 0.62, bannerSize.height() * 1.6), r * 1.6, r);
    int h = bannerSize.height();
    p.save();
    p.translate(8, 4);
    p.scale((h - 8) / 16.0, (h - 8) / 16.0);
    QPainterPath shield;
    shield.moveTo(8, 0.8);
    shield.cubicTo(10.5, 2.2, 12.8, 2.6, 14.6, 2.6);
    shield.cubicTo(14.6, 9.5, 12.2, 13.2, 8, 15.3);
    shield.cubicTo(3.8, 13.2, 1.4, 9.5, 1.4, 2.6);
    shield.cubicTo(3.2, 2.6, 5.5, 2.2, 8, 0.8);
    p.setPen(QPen(Qt::white, 0.6));
    p.setBrush(QColor(255, 255, 255, 40));
    p.drawPath(shield);
    p.setPen(Qt::NoPen);
    p.setBrush(kGold);
    p.drawEllipse(QRectF(6.4, 4.8, 3.2, 3.2));
    p.drawRect(QRectF(7.2, 7.4, 1.6, 3.8));
    p.restore();
    int x = 12 + h;
    p.setPen(Qt::white);
    p.setFont(Sans(h * 45 / 100, true));
    p.drawText(QRect(x, 0, bannerSize.width(), h * 62 / 100), Qt::AlignLeft | Qt::AlignBottom, "Orvantis Shroudkeep");
    p.setPen(QColor(220, 232, 255));
    p.setFont(Sans(h * 24 / 100, false));
    p.drawText(QRect(x + 1, h * 62 / 100, bannerSize.width(), h * 38 / 100), Qt::AlignLeft | Qt::AlignTop,
               "AES-256 disk encryption  \u2022  256-bit keys");
  }
  Save(129, banner);

  // 130: the band under the banner.
  QSize bandSize = du(456, 16);
  QImage band(bandSize, QImage::Format_ARGB32_Premultiplied);
  {
    QPainter p(&band);
    QLinearGradient g(0, 0, 0, bandSize.height());
    g.setColorAt(0, QColor(214, 226, 246));
    g.setColorAt(1, QColor(188, 205, 236));
    p.fillRect(band.rect(), g);
    p.setPen(QColor(120, 150, 205));
    p.drawLine(0, 0, bandSize.width(), 0);
    p.drawLine(0, bandSize.height() - 1, bandSize.width(), bandSize.height() - 1);
  }
  Save(130, band);

  // 132: the strip between the panel and the pages.
  QSize stripSize = du(35, 246);
  QImage strip(stripSize, QImage::Format_ARGB32_Premultiplied);
  {
    QPainter p(&strip);
    QLinearGradient g(0, 0, stripSize.width(), 0);
    g.setColorAt(0, QColor(150, 178, 226));
    g.setColorAt(0.35, QColor(232, 238, 248));
    g.setColorAt(1, QColor(246, 248, 252));
    p.fillRect(strip.rect(), g);
  }
  Save(132, strip);

  // 134 and 135: background tiles, quiet enough to read text on.
  for (int id : {134, 135}) {
    QImage tile(32, 32, QImage::Format_ARGB32_Premultiplied);
    QColor base = id == 135 ? QColor(246, 248, 252) : QColor(238, 242, 250);
    tile.fill(base);
    QPainter p(&tile);
    p.setPen(base.darker(104));
    for (int i = -32; i < 32; i += 8) p.drawLine(i, 32, i + 32, 0);
    Save(id, tile);
  }

  // 142, 143, 147: the picture buttons with their words.
  QSize buttonSize = du(32, 12);
  struct Button {
    int id;
    const char* word;
  } buttons[] = {{142, "About"}, {143, "Help"}, {147, "Option"}};
  for (const Button& b : buttons) {
    QImage image(buttonSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    QRectF r = QRectF(image.rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QLinearGradient g(0, 0, 0, r.height());
    g.setColorAt(0, QColor(255, 255, 255));
    g.setColorAt(1, QColor(206, 220, 244));
    p.setPen(QPen(QColor(110, 140, 200), 1));
    p.setBrush(g);
    p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    p.setPen(kNavy);
    QFont f = Sans(std::max(9, buttonSize.height() * 55 / 100), true);
    QFontMetrics fm(f);
    while (fm.horizontalAdvance(b.word) > buttonSize.width() - 8 && f.pixelSize() > 7) {
      f.setPixelSize(f.pixelSize() - 1);
      fm = QFontMetrics(f);
    }
    p.setFont(f);
    p.drawText(image.rect(), Qt::AlignCenter, b.word);
    Save(b.id, image);
  }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  g_out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(g_out);
  // Base units of the main window's dialog font, so the bitmaps match the
  // rectangles they are shown in.
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(11);
  QFontMetrics metrics(font);
  int width = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  int cx = (width / 26 + 1) / 2;
  int cy = metrics.height();
  std::printf("dialog base units %d x %d\n", cx, cy);
  DrawIcons();
  DrawBitmaps(cx, cy);
  return 0;
}
