#include "TextDisplay.h"

#include "TextBoard.h"

#include <unistd.h>

namespace board {

TextDisplay::TextDisplay(const BoardState& state, std::FILE* out, QObject* parent)
    : QObject(parent), state_(state), out_(out), terminal_(::isatty(::fileno(out)) == 1)
{
    redraw_.setSingleShot(true);
    redraw_.setInterval(100);
    connect(&redraw_, &QTimer::timeout, this, &TextDisplay::Draw);
    tick_.setInterval(1000);
    connect(&tick_, &QTimer::timeout, this, &TextDisplay::Changed);
    tick_.start();
    Draw();
}

TextDisplay::~TextDisplay()
{
    if (terminal_)
        std::fputs("\x1b[0m", out_);
    std::fflush(out_);
}

void TextDisplay::Changed()
{
    if (!redraw_.isActive())
        redraw_.start();
}

void TextDisplay::Draw()
{
    const auto lines = RenderText(state_, SteadyClock::now());
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    if (text == drawn_)
        return;
    drawn_ = text;

    if (terminal_) {
        // Back to the top of the previous drawing, then over it line by line.
        if (drawnLines_)
            std::fprintf(out_, "\x1b[%zuA", drawnLines_);
        const bool dim = state_.Brightness() <= 3;
        for (const auto& line : lines)
            std::fprintf(out_, "\r\x1b[2K%s%s\x1b[0m\n", dim ? "\x1b[2m" : "\x1b[1;33m", line.c_str());
        drawnLines_ = lines.size();
    } else {
        std::fputs(text.c_str(), out_);
        std::fputc('\n', out_);
    }
    std::fflush(out_);
}

} // namespace board
