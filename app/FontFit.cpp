#include "app/FontFit.h"

#include "app/Controls.h"
#include "app/MaskEdit.h"

#include <algorithm>

namespace {

// Space a control's own frame and decorations take besides its text.
constexpr int kButtonPadding = 8;
constexpr int kEditPadding = 8;
constexpr int kComboArrowAndPadding = 24;

int Advance(const QWidget& control, const QString& text)
{
    return control.fontMetrics().horizontalAdvance(text);
}

// How far a label may reach: to the nearest control that starts right of it on the same row.
int LabelRoom(const QLabel& label, const QWidget& window)
{
    int right = window.width();
    const QRect row = label.geometry();
    for (const QObject* child : window.children()) {
        const auto* other = qobject_cast<const QWidget*>(child);
        if (!other || other == &label || other->isWindow())
            continue;
        const QRect bounds = other->geometry();
        const bool sameRow = bounds.top() < row.bottom() && bounds.bottom() > row.top();
        if (sameRow && bounds.left() > row.left())
            right = std::min(right, bounds.left());
    }
    return right - row.left();
}

bool Fits(const QWidget& control, const QWidget& window)
{
    if (const auto* label = qobject_cast<const QLabel*>(&control))
        return label->sizeHint().width() <= LabelRoom(*label, window);
    if (const auto* button = qobject_cast<const QPushButton*>(&control))
        return Advance(*button, button->text()) + kButtonPadding <= button->width();
    if (const auto* box = qobject_cast<const QCheckBox*>(&control))
        return box->sizeHint().width() <= box->width();
    if (const auto* list = qobject_cast<const QComboBox*>(&control)) {
        int widest = 0;
        for (int i = 0; i < list->count(); ++i)
            widest = std::max(widest, Advance(*list, list->itemText(i)));
        return widest + kComboArrowAndPadding <= list->width();
    }
    return true;
}

int MaskEditTextWidth(const TMaskEdit& edit)
{
    const QString shown = edit.displayText();
    const QString digits(shown.size(), QLatin1Char('8'));
    return std::max(Advance(edit, digits), Advance(edit, shown)) + kEditPadding;
}

} // namespace

bool TextsFit(const QWidget& window)
{
    for (const QObject* child : window.children()) {
        const auto* control = qobject_cast<const QWidget*>(child);
        if (control && !control->isWindow() && !Fits(*control, window))
            return false;
    }
    return true;
}

void FitFontToDesign(QWidget& window)
{
    QFont font = window.font();
    for (int pixels = kDesignFontPixels; pixels >= kSmallestFontPixels; --pixels) {
        font.setPixelSize(pixels);
        window.setFont(font);
        for (QObject* child : window.children()) {
            if (auto* label = qobject_cast<TLabel*>(child))
                label->SetCaption(label->text());
        }
        if (TextsFit(window))
            break;
    }
    // A masked edit shows every position of its pattern, so it grows to the pattern's width.
    for (QObject* child : window.children()) {
        if (auto* edit = qobject_cast<TMaskEdit*>(child))
            edit->resize(std::max(edit->width(), MaskEditTextWidth(*edit)), edit->height());
    }
}
