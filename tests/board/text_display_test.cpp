#include "board/TextDisplay.h"

#include "protocol/DisplayLine.h"

#include <QTest>
#include <cstdio>
#include <gtest/gtest.h>

using namespace board;

namespace {

std::string Contents(std::FILE* file)
{
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    return text;
}

} // namespace

TEST(TextDisplay, GathersChangesIntoOneRedrawWhenNotATerminal)
{
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    BoardState state;
    {
        TextDisplay display(state, file);
        const std::size_t first = Contents(file).size();
        EXPECT_GT(first, 0u) << "the empty board is drawn at once";

        const std::string line(protocol::kAllDigits);
        for (int i = 0; i < 100; ++i) {
            state.ShowLine(' ', line, SteadyClock::now());
            display.Changed();
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return Contents(file).size() > first; }, 5000));
        QTest::qWait(300);
        const std::string text = Contents(file);
        EXPECT_EQ(text.find('\x1b'), std::string::npos) << "no terminal codes into a file";
        // The empty board and one drawing of the lit one: a hundred changes, one redraw.
        std::size_t drawings = 0;
        for (std::size_t at = 0; (at = text.find("Brightness", at)) != std::string::npos; ++at)
            ++drawings;
        EXPECT_EQ(drawings, 2u) << text;
    }
    std::fclose(file);
}
