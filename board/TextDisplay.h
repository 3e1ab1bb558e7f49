#pragma once
// Keeps the text drawing of the board up to date in a terminal: redrawn in place when the
// stream is a terminal, written anew on each change otherwise. Redraws are gathered, so a
// fast line never floods the terminal.

#include "BoardState.h"

#include <QObject>
#include <QTimer>
#include <cstdio>
#include <string>

namespace board {

class TextDisplay : public QObject {
    Q_OBJECT
public:
    TextDisplay(const BoardState& state, std::FILE* out, QObject* parent = nullptr);
    ~TextDisplay() override;

    // Something changed; the drawing follows within a tenth of a second.
    void Changed();

private:
    void Draw();

    const BoardState& state_;
    std::FILE* out_;
    bool terminal_;
    std::size_t drawnLines_ = 0;
    std::string drawn_;
    QTimer redraw_;
    QTimer tick_; // the clock and the time-out move without input
};

} // namespace board
