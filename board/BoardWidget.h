#pragma once
// The board as a picture: amber seven-segment digits on a dark housing, start number and mode,
// the time with its separators as received, the place, and a status row underneath.

#include "BoardState.h"

#include <QTimer>
#include <QWidget>

namespace board {

class BoardWidget : public QWidget {
    Q_OBJECT
public:
    // `where` names the inputs for the status row (e.g. "COM3 · UDP 127.0.0.1:51810").
    BoardWidget(const BoardState& state, QString where, QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const BoardState& state_;
    QString where_;
    QTimer tick_; // the board's clock and time-out move without input
};

} // namespace board
