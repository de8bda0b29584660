#include "app/ui/ScreenFit.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace quellor {

namespace {

constexpr int kTitleBar = 30;
constexpr int kBorder = 4;

QScreen* ScreenOf(const QWidget* window) {
  QScreen* screen = window->screen();
  return screen ? screen : QGuiApplication::primaryScreen();
}

// The largest size the window may have: the free area less the frame, but not below the
// window's minimum size hint.
QSize Largest(const QWidget* window, const QRect& free) {
  QMargins frame = FrameAllowance(window);
  QSize room(free.width() - frame.left() - frame.right(),
             free.height() - frame.top() - frame.bottom());
  return room.expandedTo(window->minimumSizeHint()).expandedTo(window->minimumSize());
}

}  // namespace

QMargins FrameAllowance(const QWidget* window) {
  QMargins least(kBorder, kTitleBar + kBorder, kBorder, kBorder);
  QRect outer = window->frameGeometry(), inner = window->geometry();
  QMargins real(inner.left() - outer.left(), inner.top() - outer.top(),
                outer.right() - inner.right(), outer.bottom() - inner.bottom());
  return QMargins(std::max(least.left(), real.left()), std::max(least.top(), real.top()),
                  std::max(least.right(), real.right()), std::max(least.bottom(), real.bottom()));
}

void FitToScreen(QWidget* window, QSize wanted) {
  QScreen* screen = ScreenOf(window);
  if (!screen) {
    window->resize(wanted);
    return;
  }
  QRect free = screen->availableGeometry();
  window->resize(wanted.boundedTo(Largest(window, free)).expandedTo(window->minimumSizeHint()));
  // A window's position is that of its frame: the frame is centred in the free area.
  QMargins frame = FrameAllowance(window);
  QSize outer = window->size().grownBy(frame);
  window->move(free.x() + std::max(0, (free.width() - outer.width()) / 2),
               free.y() + std::max(0, (free.height() - outer.height()) / 2));
}

void KeepOnScreen(QWidget* window) {
  QScreen* screen = ScreenOf(window);
  if (!screen) return;
  QRect free = screen->availableGeometry();
  QSize largest = Largest(window, free);
  if (window->width() > largest.width() || window->height() > largest.height())
    window->resize(window->size().boundedTo(largest));
  QMargins frame = FrameAllowance(window);
  QSize outer = window->size().grownBy(frame);
  QPoint at = window->pos();
  int x = std::clamp(at.x(), free.left(), std::max(free.left(), free.right() + 1 - outer.width()));
  int y = std::clamp(at.y(), free.top(), std::max(free.top(), free.bottom() + 1 - outer.height()));
  if (QPoint(x, y) != at) window->move(x, y);
}

}  // namespace quellor
