#include "WindowFixture.h"

#include <QTest>

WindowTest::WindowTest(std::initializer_list<int> numbers)
{
    for (const int number : numbers)
        devices.try_emplace(number, ports, number);
    form = std::make_unique<TForm1>(desktop, ports.Names());
    form->SetClock([this] {
        ++clockReadings;
        return now;
    });
    QObject::connect(form->Timer1, &TTimer::timeout, form.get(), [this] { ++ticks; });
    form->show();
}

WindowTest::~WindowTest() = default;

void WindowTest::SendToReceiver()
{
    if (!form->SendUDPCB->isChecked())
        Click(form->SendUDPCB);
    form->PortE->setText(QString::number(receiver.Port()));
}

void WindowTest::Click(QWidget* control)
{
    QTest::mouseClick(control, Qt::LeftButton, {}, QPoint(8, control->height() / 2));
}

void WindowTest::Choose(QComboBox* list, const QString& item)
{
    int index = list->findText(item);
    if (index < 0 && list == form->Port) {
        list->addItem(item);
        index = list->count() - 1;
    }
    ASSERT_GE(index, 0) << item.toStdString();
    list->setCurrentIndex(index);
    emit list->activated(index);
}

void WindowTest::Type(QWidget* control, const QString& text)
{
    control->setFocus();
    QTest::keyClicks(control, text);
}

std::string WindowTest::NextDatagram(std::chrono::milliseconds limit)
{
    return receiver.ReceiveRunningEvents(limit).value_or("(nothing)");
}

bool WindowTest::TimerTicks(int count)
{
    const int until = ticks + count;
    return WaitUntil([&] { return ticks >= until; }, std::chrono::seconds(10));
}
