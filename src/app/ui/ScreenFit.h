// Keeping top-level windows on the screen: a window and the frame the window manager draws
// around it (title bar and borders) fit the screen's available geometry, also on a small or
// scaled screen (1280x800 at a scale of 1.5 leaves about 853x533 logical pixels). Before a
// window is shown its real frame is not known, so an allowance stands in for it.
#pragma once

#include <QMargins>
#include <QSize>

class QWidget;

namespace quellor {

// The frame of a window: its real frame once it has one, never less than a title bar of 30
// pixels and borders of 4.
QMargins FrameAllowance(const QWidget* window);

// Sizes a top-level window to `wanted`, bounded so that it and its frame fit the available
// geometry of its screen (but never below its minimum size hint), and centres it there.
void FitToScreen(QWidget* window, QSize wanted);

// After a size and position were put back from an earlier run (perhaps on a larger screen):
// shrinks the window so that it and its frame fit the available geometry, and moves it so that
// its frame lies inside.
void KeepOnScreen(QWidget* window);

}  // namespace quellor
