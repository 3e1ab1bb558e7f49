#include "app/Controls.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace {

void Place(QWidget& control, const ControlPlace& place)
{
    control.setGeometry(place.bounds);
    control.setToolTip(place.hint);
}

} // namespace

TLabel::TLabel(QWidget* parent, const QString& caption, const ControlPlace& place)
    : QLabel(parent), TControl(place.anchors)
{
    // Captions are data (a display line may hold "<"), never markup.
    setTextFormat(Qt::PlainText);
    Place(*this, place);
    hint_ = place.hint;
    SetCaption(caption);
}

void TLabel::SetCaption(const QString& caption)
{
    const bool changed = caption != text();
    setText(caption);
    if (changed)
        emit CaptionChanged(caption);
    if (boxWidth_ <= 0) {
        resize(sizeHint());
        return;
    }
    const QStringList lines = BoxLines();
    int widest = 0;
    for (const QString& line : lines)
        widest = std::max(widest, fontMetrics().horizontalAdvance(line));
    resize(widest, fontMetrics().height() * static_cast<int>(lines.size()));
    const bool whole = lines.join(QLatin1Char(' ')) == caption.simplified();
    setToolTip(whole ? hint_ : hint_ + QLatin1Char('\n') + caption);
}

void TLabel::SetHint(const QString& hint)
{
    hint_ = hint;
    setToolTip(hint);
    SetCaption(text());
}

void TLabel::SetTextBox(int width, int lines)
{
    boxWidth_ = width;
    boxLines_ = std::max(1, lines);
    SetCaption(text());
}

QStringList TLabel::BoxLines() const
{
    const QFontMetrics metrics = fontMetrics();
    QStringList lines;
    QString current;
    for (const QString& word : text().simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString longer = current.isEmpty() ? word : current + QLatin1Char(' ') + word;
        if (current.isEmpty() || metrics.horizontalAdvance(longer) <= boxWidth_) {
            current = longer;
        } else {
            lines << current;
            current = word;
        }
    }
    lines << current;
    if (lines.size() > boxLines_) {
        const QString rest = lines.mid(boxLines_ - 1).join(QLatin1Char(' '));
        lines = lines.mid(0, boxLines_ - 1) << rest;
    }
    for (QString& line : lines)
        line = metrics.elidedText(line, Qt::ElideRight, boxWidth_);
    return lines;
}

void TLabel::paintEvent(QPaintEvent* event)
{
    if (boxWidth_ <= 0) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    const int lineHeight = fontMetrics().height();
    int top = 0;
    for (const QString& line : BoxLines()) {
        painter.drawText(QRect(0, top, width(), lineHeight), Qt::AlignLeft | Qt::AlignVCenter, line);
        top += lineHeight;
    }
}

void TLabel::SetLinkStyle()
{
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, QColor(0, 0, 255));
    setPalette(colours);
    QFont linkFont = font();
    linkFont.setUnderline(true);
    linkFont.setBold(false);
    linkFont.setItalic(false);
    linkFont.setStrikeOut(false);
    setFont(linkFont);
    setCursor(Qt::PointingHandCursor);
    resize(sizeHint());
}

void TLabel::mouseReleaseEvent(QMouseEvent* event)
{
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit Click();
}

TButton::TButton(QWidget* parent, const QString& caption, const ControlPlace& place)
    : QPushButton(caption, parent), TControl(place.anchors)
{
    setAutoDefault(false);
    Place(*this, place);
}

TComboBox::TComboBox(QWidget* parent, const QStringList& items, const ControlPlace& place)
    : QComboBox(parent), TControl(place.anchors)
{
    setEditable(false);
    addItems(items);
    Place(*this, place);
}

void TComboBox::showPopup()
{
    emit DropDown();
    QComboBox::showPopup();
}

TCheckBox::TCheckBox(QWidget* parent, const QString& caption, const ControlPlace& place)
    : QCheckBox(caption, parent), TControl(place.anchors)
{
    Place(*this, place);
}

TEdit::TEdit(QWidget* parent, const QString& text, const ControlPlace& place)
    : QLineEdit(text, parent), TControl(place.anchors)
{
    Place(*this, place);
}

TTrackBar::TTrackBar(QWidget* parent, int minimum, int maximum, int position,
                     const ControlPlace& place)
    : QSlider(Qt::Horizontal, parent), TControl(place.anchors)
{
    setRange(minimum, maximum);
    setValue(position);
    setTickPosition(QSlider::TicksBelow);
    setTickInterval(1);
    setSingleStep(1);
    setPageStep(1);
    Place(*this, place);
}
