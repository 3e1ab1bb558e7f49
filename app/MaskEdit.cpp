#include "app/MaskEdit.h"

#include <QStringList>

namespace {

constexpr QChar kOptionalAny = QLatin1Char('c');

// The toolkit's own mask language: "x" is an optional character of any kind, every other
// pattern character is escaped so that it stays a fixed separator.
QString ToolkitMask(const QString& pattern, QChar blank)
{
    QString mask;
    for (QChar c : pattern) {
        if (c == kOptionalAny) {
            mask += QLatin1Char('x');
        } else {
            mask += QLatin1Char('\\');
            mask += c;
        }
    }
    return mask + QLatin1Char(';') + blank;
}

} // namespace

TMaskEdit::TMaskEdit(QWidget* parent, const QString& editMask, const ControlPlace& place)
    : QLineEdit(parent), TControl(place.anchors)
{
    const QStringList fields = editMask.split(QLatin1Char(';'));
    pattern_ = fields.value(0);
    separatorsInText_ = fields.value(1, QStringLiteral("1")) != QLatin1String("0");
    const QString blank = fields.value(2);
    if (!blank.isEmpty())
        editingBlank_ = blank.at(0);
    setInputMask(ToolkitMask(pattern_, shownBlank_));
    setGeometry(place.bounds);
    setToolTip(place.hint);
}

QString TMaskEdit::Text() const
{
    const QString shown = displayText();
    QString text;
    for (qsizetype i = 0; i < pattern_.size(); ++i) {
        const QChar c = i < shown.size() ? shown.at(i) : shownBlank_;
        if (pattern_.at(i) == kOptionalAny)
            text += c == shownBlank_ ? QLatin1Char(' ') : c;
        else if (separatorsInText_)
            text += pattern_.at(i);
    }
    return text;
}

void TMaskEdit::ShowEmptyAs(QChar shown)
{
    if (shown == shownBlank_)
        return;
    QString text = Text();
    const int cursor = cursorPosition();
    shownBlank_ = shown;
    setInputMask(ToolkitMask(pattern_, shownBlank_));
    // A blank reads as an empty position, so it is shown as one.
    setText(text.replace(QLatin1Char(' '), shownBlank_));
    setCursorPosition(cursor);
}

void TMaskEdit::focusInEvent(QFocusEvent* event)
{
    ShowEmptyAs(editingBlank_);
    QLineEdit::focusInEvent(event);
}

void TMaskEdit::focusOutEvent(QFocusEvent* event)
{
    ShowEmptyAs(QLatin1Char(' '));
    QLineEdit::focusOutEvent(event);
}
