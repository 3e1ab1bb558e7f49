// Masked edits read as fixed-length texts whatever has been typed.
#include "app/MaskEdit.h"

#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

namespace {

struct MaskEditTest : ::testing::Test {
    QWidget window;
    TMaskEdit time{&window, "cc:cc:cc.ccc;1;_", {{0, 0, 120, 21}, ""}};
    TMaskEdit number{&window, "ccc;1;_", {{0, 30, 40, 21}, ""}};
    TMaskEdit bare{&window, "cc:cc;0;*", {{0, 60, 60, 21}, ""}};
};

TEST_F(MaskEditTest, EmptyPositionsReadAsBlanks)
{
    EXPECT_EQ(time.Text(), "  :  :  .   ");
    EXPECT_EQ(number.Text(), "   ");
    EXPECT_EQ(bare.Text(), "    ") << "separators left out of the text";
}

TEST_F(MaskEditTest, TypingFillsPositionsAndSkipsSeparators)
{
    time.setFocus();
    QTest::keyClicks(&time, "12345");
    EXPECT_EQ(time.Text(), "12:34:5 .   ");
    QTest::keyClicks(&time, "6Ab");
    EXPECT_EQ(time.Text(), "12:34:56.Ab ") << "letters as well as digits";

    number.setFocus();
    QTest::keyClicks(&number, "1:2x");
    EXPECT_EQ(number.Text(), "1:2") << "at most three characters";
    QTest::keyClick(&number, Qt::Key_Home);
    QTest::keyClick(&number, Qt::Key_Delete);
    EXPECT_EQ(number.Text(), " :2") << "a deleted character leaves its place blank";

    bare.setFocus();
    QTest::keyClicks(&bare, "9");
    EXPECT_EQ(bare.Text(), "9   ");
}

TEST_F(MaskEditTest, EmptyPlacesShowWhileEditing)
{
    EXPECT_EQ(time.displayText(), "  :  :  .   ");
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    time.setFocus();
    QTest::keyClicks(&time, "12");
    EXPECT_EQ(time.displayText(), "12:__:__.___");
    number.setFocus();
    EXPECT_EQ(time.displayText(), "12:  :  .   ");
    EXPECT_EQ(time.Text(), "12:  :  .   ");
    time.setFocus();
    EXPECT_EQ(time.displayText(), "12:__:__.___");
    EXPECT_EQ(time.Text(), "12:  :  .   ");
}

TEST_F(MaskEditTest, ClearingEmptiesEveryPosition)
{
    time.setText("11:22:33.444");
    EXPECT_EQ(time.Text(), "11:22:33.444");
    time.clear();
    EXPECT_EQ(time.Text(), "  :  :  .   ");
}

} // namespace
