#include "BoardWidget.h"

#include "BoardStatus.h"
#include "Segments.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace board {
namespace {

// Logical layout; the painter scales it to the widget, keeping its proportions.
constexpr qreal kWidth = 1320;
constexpr qreal kHeight = 250;
constexpr qreal kCellWidth = 62;
constexpr qreal kCellHeight = 108;
constexpr qreal kCellGap = 12;
constexpr qreal kSeparatorWidth = 26;
constexpr qreal kDigitsTop = 62;

constexpr const char* kSeparator = "  ·  ";

const QColor kLed(255, 176, 32);
const QColor kModeLed(120, 230, 90);

class Painter {
public:
    Painter(QPainter& painter, qreal level) : p_(painter), level_(level) {}

    // Draws one seven-segment cell at x and returns the x after it.
    qreal Digit(qreal x, char c, const QColor& led)
    {
        const auto lit = SegmentsFor(c);
        const qreal w = kCellWidth, h = kCellHeight, t = 11, g = 1.5;
        const qreal y = kDigitsTop, mid = y + h / 2;
        struct Bar { Segment segment; QPointF from, to; };
        const Bar bars[] = {
            {sA, {x + t / 2, y + t / 2}, {x + w - t / 2, y + t / 2}},
            {sB, {x + w - t / 2, y + t / 2}, {x + w - t / 2, mid}},
            {sC, {x + w - t / 2, mid}, {x + w - t / 2, y + h - t / 2}},
            {sD, {x + t / 2, y + h - t / 2}, {x + w - t / 2, y + h - t / 2}},
            {sE, {x + t / 2, mid}, {x + t / 2, y + h - t / 2}},
            {sF, {x + t / 2, y + t / 2}, {x + t / 2, mid}},
            {sG, {x + t / 2, mid}, {x + w - t / 2, mid}},
        };
        for (const Bar& bar : bars)
            Fill(SegmentShape(bar.from, bar.to, t, g), lit & bar.segment, led);
        if (DotsFor(c).foot) // a point in a digit column, such as the running-time mode
            Dot({x + w / 2, y + h - t / 2}, t * 0.6, true, led);
        return x + w + kCellGap;
    }

    qreal Separator(qreal x, char c)
    {
        const auto dots = DotsFor(c);
        const qreal cx = x + kSeparatorWidth / 2 - kCellGap / 2, r = 6.5;
        const qreal y = kDigitsTop, h = kCellHeight;
        Dot({cx, y + h * 0.30}, r, dots.upper, kLed);
        Dot({cx, y + h * 0.70}, r, dots.lower, kLed);
        Dot({cx - 4, y + h - r}, r, dots.foot, kLed);
        return x + kSeparatorWidth;
    }

private:
    // A bar with pointed ends, as on a real segment display.
    static QPainterPath SegmentShape(QPointF from, QPointF to, qreal thickness, qreal gap)
    {
        const bool horizontal = from.y() == to.y();
        const qreal half = thickness / 2;
        QPainterPath path;
        if (horizontal) {
            const qreal a = from.x() + gap, b = to.x() - gap, y = from.y();
            path.moveTo(a, y);
            path.lineTo(a + half, y - half);
            path.lineTo(b - half, y - half);
            path.lineTo(b, y);
            path.lineTo(b - half, y + half);
            path.lineTo(a + half, y + half);
        } else {
            const qreal a = from.y() + gap, b = to.y() - gap, x = from.x();
            path.moveTo(x, a);
            path.lineTo(x + half, a + half);
            path.lineTo(x + half, b - half);
            path.lineTo(x, b);
            path.lineTo(x - half, b - half);
            path.lineTo(x - half, a + half);
        }
        path.closeSubpath();
        return path;
    }

    void Fill(const QPainterPath& path, bool lit, const QColor& led)
    {
        QColor color = led;
        color.setAlphaF(lit ? level_ : 0.07);
        p_.fillPath(path, color);
    }

    void Dot(QPointF centre, qreal radius, bool lit, const QColor& led)
    {
        QPainterPath path;
        path.addEllipse(centre, radius, radius);
        Fill(path, lit, led);
    }

    QPainter& p_;
    qreal level_;
};

} // namespace

BoardWidget::BoardWidget(const BoardState& state, QString where, QWidget* parent)
    : QWidget(parent), state_(state), where_(std::move(where))
{
    setMinimumSize(590, 125);
    tick_.setInterval(250);
    connect(&tick_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    tick_.start();
}

QSize BoardWidget::sizeHint() const
{
    return QSize(static_cast<int>(kWidth), static_cast<int>(kHeight));
}

void BoardWidget::paintEvent(QPaintEvent*)
{
    const auto now = SteadyClock::now();
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), QColor(40, 42, 46));

    // Keep the board's proportions whatever the window's shape.
    const qreal scale = std::min(width() / kWidth, height() / kHeight);
    p.translate((width() - kWidth * scale) / 2, (height() - kHeight * scale) / 2);
    p.scale(scale, scale);

    QLinearGradient housing(0, 0, 0, kHeight);
    housing.setColorAt(0, QColor(24, 25, 28));
    housing.setColorAt(1, QColor(10, 10, 12));
    p.setPen(QPen(QColor(70, 72, 78), 3));
    p.setBrush(housing);
    p.drawRoundedRect(QRectF(4, 4, kWidth - 8, kHeight - 8), 18, 18);

    QFont labelFont = font();
    labelFont.setPixelSize(15);
    labelFont.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    p.setFont(labelFont);
    p.setPen(QColor(130, 132, 140));

    const Columns shown = state_.Blanked(now) ? Columns() : state_.Shown();
    const qreal level = 0.28 + 0.72 * std::clamp(state_.Brightness(), 0, 9) / 9.0;
    Painter led(p, level);
    p.save();
    p.setPen(Qt::NoPen);

    // Start number and mode.
    qreal x = 40;
    const qreal startX = x;
    for (std::size_t column : {1, 2, 3})
        x = led.Digit(x, shown.At(column), kLed);
    const qreal modeX = x;
    x = led.Digit(x, shown.At(4), kModeLed);

    // Time, with its separators exactly as they arrived.
    x += 30;
    const qreal timeX = x;
    for (std::size_t column = 9; column <= 20; ++column)
        x = (column == 11 || column == 14 || column == 17) ? led.Separator(x, shown.At(column))
                                                            : led.Digit(x, shown.At(column), kLed);

    // Place.
    x += 30;
    const qreal placeX = x;
    for (std::size_t column : {21, 22})
        x = led.Digit(x, shown.At(column), kLed);
    p.restore();

    const qreal labelY = kDigitsTop - 16;
    p.drawText(QPointF(startX, labelY), "START");
    p.drawText(QPointF(modeX, labelY), "MODE");
    p.drawText(QPointF(timeX, labelY), "TIME");
    p.drawText(QPointF(placeX, labelY), "PLACE");

    QFont statusFont = font();
    statusFont.setPixelSize(17);
    p.setFont(statusFont);
    p.setPen(QColor(170, 172, 180));
    p.drawText(QRectF(30, kDigitsTop + kCellHeight + 22, kWidth - 60, 40),
               Qt::AlignLeft | Qt::AlignVCenter,
               QString::fromStdString(StatusText(state_, now, kSeparator)) + QString::fromUtf8(kSeparator) + where_);
}

} // namespace board
