#pragma once
// The window is designed for text 13 pixels high; Linux default fonts are often wider than the
// one it was drawn with. Choosing the window's text size so that every caption fits the place
// the design gives it keeps every text fully visible at the designed positions.

class QWidget;

inline constexpr int kDesignFontPixels = 11; // an 8-point font at 96 dots per inch
inline constexpr int kSmallestFontPixels = 8;

// True when every caption and text of the window's controls fits its place: a label up to the
// next control on its right (or the window's edge), other controls within their own width.
bool TextsFit(const QWidget& window);

// Sets the window's font to the largest pixel size up to the design's at which the texts fit,
// and widens masked edits that cannot show their whole pattern.
void FitFontToDesign(QWidget& window);
