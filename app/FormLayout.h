#pragma once
// The layout pass a window runs before it is shown: it enlarges the window and its controls when
// the window follows the system font and that font is 9 points, and moves the controls anchored
// to the bottom edge by the difference between the real window frame and the frame the design
// allowed for.

#include <QSize>
#include <QStringList>

class QWidget;

// Class names the pass acts on; a control matches only under its own class name.
const QStringList& LayoutClassNames();

inline constexpr int kDesignFrameHeight = 27;

// Extra width and height of the window frame (title bar and borders) around the client area.
// Before a window is shown the window system has not said; the design's allowance stands in.
QSize FrameExtent(const QWidget& window);

// `scaled`: the window follows the system's font size.
void AdjustFormLayout(QWidget& window, bool scaled, QSize frame);
