#include "LiveWindow.h"

void LiveWindow::OpenOn(int number, const FarEnd& device)
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
