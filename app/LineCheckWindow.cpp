#include "app/LineCheckWindow.h"

#include "app/Controls.h"
#include "app/Form1.h"
#include "app/FormatSweep.h"
#include "app/LoopbackCheck.h"
#include "protocol/LineFormats.h"
#include "protocol/LineRates.h"

#include <QAction>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>

#include <chrono>
#include <cmath>

LineCheckWindow::LineCheckWindow(TForm1& form)
    : QWidget(&form, Qt::Window), loopbackButton(new QPushButton("&Loopback check", this)),
      sweepButton(new QPushButton("&Format sweep", this)), holdSeconds(new QDoubleSpinBox(this)),
      line(new QLabel(this)), result(new QPlainTextEdit(this)), form_(form)
{
    setWindowTitle("Line check");
    loopbackButton->setToolTip("Fit a jumper between TX and RX at the far end of the cable (or pins 2 and 3 of "
                               "the adapter's plug), then check that every byte comes back");
    sweepButton->setToolTip("Step through every rate in 8-N-1 and 7-N-2; the board shows the format it "
                            "understands as its time (rate in hundreds, then 81 or 72)");
    holdSeconds->setRange(0.5, 600);
    holdSeconds->setValue(3);
    holdSeconds->setSuffix(" s");
    holdSeconds->setToolTip("How long each format is held");
    result->setReadOnly(true);
    result->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    result->setMinimumSize(520, 220);

    auto* grid = new QGridLayout(this);
    grid->addWidget(line, 0, 0, 1, 4);
    grid->addWidget(loopbackButton, 1, 0);
    grid->addWidget(sweepButton, 1, 1);
    grid->addWidget(new QLabel("each held", this), 1, 2, Qt::AlignRight);
    grid->addWidget(holdSeconds, 1, 3);
    grid->addWidget(result, 2, 0, 1, 4);

    connect(loopbackButton, &QPushButton::clicked, this, &LineCheckWindow::RunLoopback);
    connect(sweepButton, &QPushButton::clicked, this, &LineCheckWindow::RunSweep);
}

// A check still running ends with the window; the test window is going away too, so its line is
// not given back.
LineCheckWindow::~LineCheckWindow() = default;

void LineCheckWindow::Offer(TForm1& form)
{
    auto* action = new QAction("Line check...", &form);
    action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    action->setShortcutContext(Qt::WindowShortcut);
    form.addAction(action);
    form.setContextMenuPolicy(Qt::ActionsContextMenu);
    // In the free room under "Set Time and Date on Lyra": a technician finds it without a menu,
    // and no control of the test window moves.
    auto* button = new TButton(&form, action->text(),
                               {{208, 336, 169, 25},
                                "Is it the PC, the cable or the board? Loopback check and format sweep (Ctrl+L)"});
    button->setObjectName("LineCheckB");
    QWidget::setTabOrder(form.TimeDateB, button);
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
    QPointer<LineCheckWindow> window;
    QObject::connect(action, &QAction::triggered, &form, [&form, window]() mutable {
        if (!window)
            window = new LineCheckWindow(form);
        window->show();
        window->raise();
        window->activateWindow();
    });
}

void LineCheckWindow::showEvent(QShowEvent* event)
{
    ShowLine();
    QWidget::showEvent(event);
}

void LineCheckWindow::ShowLine()
{
    TNexComThread& channel = form_.Channel();
    if (!channel.ok()) {
        line->setText("No port open: choose one under Interface in the test window");
        return;
    }
    const protocol::LineFormat format{channel.Baud(), channel.DataBits() == db7};
    line->setText(QStringLiteral("%1 at %2").arg(form_.Port->currentText(), QString::fromStdString(format.Name())));
}

void LineCheckWindow::Show(const QString& text)
{
    result->appendPlainText(text);
}

bool LineCheckWindow::Begin()
{
    ShowLine();
    result->clear();
    if (!form_.Channel().ok()) {
        Show("Choose the port to check under Interface in the test window; the check runs on it.");
        return false;
    }
    // The test's lines would mix with the check's: it waits, as it does for a new rate.
    timerWasRunning_ = form_.Timer1->isActive();
    form_.Timer1->stop();
    loopbackButton->setEnabled(false);
    sweepButton->setEnabled(false);
    return true;
}

void LineCheckWindow::End()
{
    TNexComThread& channel = form_.Channel();
    try {
        channel.SetBaud(protocol::LineRateAt(form_.Baud->currentIndex()).bitsPerSecond);
        channel.SetKappaFrame(form_.KappaMode->isChecked());
    } catch (const std::exception&) {
        // the channel keeps the reason; the test window shows it with its next line
    }
    if (timerWasRunning_ && channel.ok())
        form_.Timer1->start();
    loopbackButton->setEnabled(true);
    sweepButton->setEnabled(true);
    ShowLine();
    emit Finished();
}

void LineCheckWindow::RunLoopback()
{
    if (!Begin())
        return;
    loopback_ = std::make_unique<LoopbackCheck>(form_.Channel(), form_.Port->currentText().toStdString());
    connect(loopback_.get(), &LoopbackCheck::Finished, this, [this] {
        for (const std::string& text : LoopbackReport(loopback_->Result()))
            Show(QString::fromStdString(text));
        loopback_.release()->deleteLater();
        End();
    }, Qt::QueuedConnection);
    loopback_->Start();
}

void LineCheckWindow::RunSweep()
{
    if (!Begin())
        return;
    const auto hold = std::chrono::milliseconds(std::llround(holdSeconds->value() * 1000));
    sweep_ = std::make_unique<FormatSweep>(form_.Channel(), hold);
    sweep_->OnFormat = [this](const protocol::LineFormat& format) { Show(FormatAnnouncement(format)); };
    connect(sweep_.get(), &FormatSweep::Finished, this, [this] {
        Show(sweep_->Error().empty() ? QStringLiteral("All %1 formats went out").arg(sweep_->FormatCount())
                                     : QString::fromStdString(sweep_->Error()));
        sweep_.release()->deleteLater();
        End();
    }, Qt::QueuedConnection);
    sweep_->Start();
}
