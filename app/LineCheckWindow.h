#pragma once
// The "Line check" window: the loopback check and the format sweep on the port chosen in the
// test window, with the result as marqtest --check prints it. The test window offers it on a
// button in free room, in its context menu and on Ctrl+L, so none of its own controls moves;
// while a check runs, the test window's repeating test waits, and afterwards its line settings
// come back.

#include <QWidget>

#include <memory>

class FormatSweep;
class LoopbackCheck;
class QDoubleSpinBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class TForm1;

class LineCheckWindow : public QWidget {
    Q_OBJECT
public:
    explicit LineCheckWindow(TForm1& form);
    ~LineCheckWindow() override;

    // Puts "Line check..." on a button of the test window, into its context menu and on Ctrl+L.
    static void Offer(TForm1& form);

    QPushButton* loopbackButton;
    QPushButton* sweepButton;
    QDoubleSpinBox* holdSeconds;
    QLabel* line;
    QPlainTextEdit* result;

    void RunLoopback();
    void RunSweep();

signals:
    void Finished();

protected:
    void showEvent(QShowEvent* event) override;

private:
    // False, with the reason shown, when the test window has no port open.
    bool Begin();
    void End();
    void ShowLine();
    void Show(const QString& text);

    TForm1& form_;
    bool timerWasRunning_ = false;
    std::unique_ptr<LoopbackCheck> loopback_;
    std::unique_ptr<FormatSweep> sweep_;
};
