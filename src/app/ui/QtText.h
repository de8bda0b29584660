// The two conversions between the program's text (std::string holding bytes of the system code
// page) and Qt's QString. Every window and control converts through these, so that text crosses
// into Qt in one place.
#pragma once

#include <QByteArray>
#include <QString>
#include <string>

namespace quellor {

inline QString ToQ(const std::string& s) {
  return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}
inline std::string FromQ(const QString& s) {
  QByteArray b = s.toLocal8Bit();
  return std::string(b.constData(), static_cast<size_t>(b.size()));
}

}  // namespace quellor
