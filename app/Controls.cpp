#include "app/Controls.h"

#include <QMouseEvent>

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
    SetCaption(caption);
}

void TLabel::SetCaption(const QString& caption)
{
    setText(caption);
    resize(sizeHint());
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
