// The layout pass on small windows built for the test.
#include "app/Controls.h"
#include "app/FormLayout.h"

#include <QPushButton>
#include <QWidget>

#include <gtest/gtest.h>

// A listed class under another name is not acted on.
class DerivedButton : public TButton {
    Q_OBJECT
public:
    explicit DerivedButton(QWidget* parent)
        : TButton(parent, "d", {{40, 300, 100, 20}, "", {akLeft, akBottom}})
    {
    }
};

namespace {

struct SmallWindow {
    explicit SmallWindow(double pointSize)
    {
        QFont font = window.font();
        font.setPointSizeF(pointSize);
        window.setFont(font);
        window.setGeometry(100, 200, 300, 400);
        button = new TButton(&window, "b", {{40, 56, 137, 33}, ""});
        bottomLabel = new TLabel(&window, "x", {{10, 370, 50, 13}, "", {akLeft, akBottom}});
        bottomLabel->resize(50, 13);
        bottomButton = new TButton(&window, "End", {{200, 360, 80, 25}, "", {akRight, akBottom}});
        other = new QPushButton(&window); // not a listed class
        other->setGeometry(40, 56, 137, 33);
        derived = new DerivedButton(&window);
    }

    QWidget window;
    TButton* button;
    TLabel* bottomLabel;
    TButton* bottomButton;
    QPushButton* other;
    DerivedButton* derived;
};

TEST(LayoutPass, ScaledNinePointWindowGrowsThenShiftsItsBottomControls)
{
    SmallWindow w(9);
    AdjustFormLayout(w.window, true, QSize(0, 27));
    EXPECT_EQ(w.button->geometry(), QRect(43, 60, 148, 35));
    EXPECT_EQ(w.other->geometry(), QRect(40, 56, 137, 33));
    // Client height 400 + frame 27 = 427 -> 462, so the client is 435 high.
    EXPECT_EQ(w.window.height(), 435);
    EXPECT_EQ(w.window.width(), 325);
    EXPECT_EQ(w.bottomButton->geometry(), QRect(216, 390, 86, 27));
    EXPECT_EQ(w.derived->geometry(), QRect(40, 300, 100, 20));
}

TEST(LayoutPass, OtherFontSizesOrUnscaledOnlyShift)
{
    for (double points : {8.0, 10.0}) {
        SmallWindow w(points);
        AdjustFormLayout(w.window, true, QSize(0, 40));
        EXPECT_EQ(w.button->geometry(), QRect(40, 56, 137, 33)) << points;
        EXPECT_EQ(w.bottomButton->geometry(), QRect(200, 347, 80, 25)) << "a taller frame moves up";
        EXPECT_EQ(w.bottomLabel->y(), 357);
    }
    SmallWindow unscaled(9);
    AdjustFormLayout(unscaled.window, false, QSize(0, 27));
    EXPECT_EQ(unscaled.button->geometry(), QRect(40, 56, 137, 33));
    EXPECT_EQ(unscaled.bottomButton->geometry(), QRect(200, 360, 80, 25)) << "the design's frame";
}

TEST(LayoutPass, WithoutAFrameBottomControlsStayInside)
{
    SmallWindow w(8);
    AdjustFormLayout(w.window, false, QSize(0, 0));
    EXPECT_EQ(w.bottomLabel->y(), 400 - 13);
    EXPECT_EQ(w.bottomButton->y(), 400 - 25);
    EXPECT_EQ(w.button->y(), 56);
}

TEST(LayoutPass, EstimatesTheFrameBeforeTheWindowIsShown)
{
    QWidget window;
    EXPECT_EQ(FrameExtent(window), QSize(0, kDesignFrameHeight));
    EXPECT_EQ(LayoutClassNames().size(), 43);
    EXPECT_EQ(LayoutClassNames().front(), "TLabel");
    EXPECT_EQ(LayoutClassNames().back(), "TPaintBox");
}

} // namespace

#include "layout_pass_test.moc"
