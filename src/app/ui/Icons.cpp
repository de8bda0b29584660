#include "app/ui/Icons.h"

#include <QColor>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPalette>
#include <QPixmap>
#include <QString>

namespace quellor {

namespace {

// Under a dark palette the drawings' dark colours (the navigator's navy arrows, the grey of
// Refresh) would vanish into the background: every colour is lifted to at least this lightness,
// keeping its hue and saturation.
constexpr float kDarkPaletteLightness = 0.68f;

bool DarkPalette() {
  return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}

QImage Lifted(QImage image) {
  image = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      if (qAlpha(line[x]) == 0) continue;
      QColor c = QColor::fromRgba(line[x]);
      float h = 0, sat = 0, l = 0, a = 0;
      c.getHslF(&h, &sat, &l, &a);
      if (l >= kDarkPaletteLightness) continue;
      c.setHslF(h, sat, kDarkPaletteLightness + l * (1 - kDarkPaletteLightness), a);
      line[x] = c.rgba();
    }
  }
  return image;
}

}  // namespace

QIcon OwnIcon(const char* name) {
  QIcon icon;
  bool dark = DarkPalette();
  for (int size : {24, 48}) {
    QString file = QString(":/icons/%1-%2.png").arg(QString::fromLatin1(name)).arg(size);
    if (!QFile::exists(file)) continue;
    if (dark)
      icon.addPixmap(QPixmap::fromImage(Lifted(QImage(file))));
    else
      icon.addFile(file, QSize(size, size));
  }
  return icon;
}

QIcon ThemeIcon(const char* name) {
  return QIcon::fromTheme(QString::fromLatin1(name), OwnIcon(name));
}

}  // namespace quellor
