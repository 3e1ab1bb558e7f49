#include "WindowFixture.h"

#include <QTest>

WindowTest::WindowTest() : form(std::make_unique<TForm1>(desktop))
{
    form->SetClock([this] {
        ++clockReadings;
        return now;
    });
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
    const int index = list->findText(item);
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
