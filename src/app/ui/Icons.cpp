#include "app/ui/Icons.h"

#include <QFile>
#include <QString>

namespace quellor {

QIcon OwnIcon(const char* name) {
  QIcon icon;
  for (int size : {24, 48}) {
    QString file = QString(":/icons/%1-%2.png").arg(QString::fromLatin1(name)).arg(size);
    if (QFile::exists(file)) icon.addFile(file, QSize(size, size));
  }
  return icon;
}

QIcon ThemeIcon(const char* name) {
  return QIcon::fromTheme(QString::fromLatin1(name), OwnIcon(name));
}

}  // namespace quellor
