#include "WindowFixture.h"

LiveWindow::LiveWindow()
{
    ports.Link(7, com7.SlavePath());
    form = std::make_unique<TForm1>(desktop);
    QObject::connect(form->Timer1, &TTimer::timeout, form.get(), [this] { ++ticks; });
    form->show();
    form->Baud->setCurrentIndex(3);
}

LiveWindow::~LiveWindow() = default;

void LiveWindow::Choose(QComboBox* list, const QString& item)
{
    int index = list->findText(item);
    if (index < 0) {
        list->addItem(item);
        index = list->count() - 1;
    }
    list->setCurrentIndex(index);
    emit list->activated(index);
}

void LiveWindow::OpenOn(int number, const PseudoTerminal& device)
{
    ports.Link(number, device.SlavePath());
    const QString name = QStringLiteral("COM%1").arg(number);
    Choose(form->Port, name);
    ASSERT_EQ(form->Schnittstelle->text(), name + " OK!");
    ASSERT_TRUE(form->Channel().ok());
    if (form->Channel().Baud() != 19200) {
        // The rate list was set before any port was open; choosing it again reopens at 19200.
        emit form->Baud->activated(3);
        ASSERT_TRUE(form->Channel().ok());
        ASSERT_EQ(form->Channel().Baud(), 19200);
    }
}

bool LiveWindow::TimerTicks(int count)
{
    const int until = ticks + count;
    return WaitUntil([&] { return ticks >= until; }, std::chrono::seconds(10));
}

void LiveWindow::SendDatagramsToReceiver()
{
    form->SendUDPCB->setChecked(true);
    form->IPE->setText(QStringLiteral("127.0.0.1"));
    form->PortE->setText(QString::number(receiver.Port()));
}

int LiveWindow::TakeDatagrams()
{
    int count = 0;
    while (receiver.Receive(std::chrono::milliseconds(0)))
        ++count;
    return count;
}
