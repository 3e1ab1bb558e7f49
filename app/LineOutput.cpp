// How display lines and commands leave the window: the serial channel and the datagram.
#include "app/Form1.h"

#include "net/NMUDP.h"
#include "net/UdpEndpoint.h"
#include "protocol/DisplayLine.h"

#include <utility>

void TForm1::Schreiben()
{
    protocol::LineOptions options;
    options.rotateRight = RotateRight->isChecked();
    options.lyra = Lyra->isChecked();
    options.removeColons = RemoveDPCB->isChecked();
    options.removePoints = RemoveDecPtCB->isChecked();
    if (Address->currentIndex() > 0)
        options.address = Address->currentText().toLatin1().toStdString();
    data = protocol::ApplyOptions(std::move(data), options);

    if (channel_->ok())
        channel_->SendText(data);
    else
        ShowLostPort();
    if (SendUDPCB->isChecked() && !SendDatagram(data))
        return;
    Daten->SetCaption(QString::fromLatin1(data.data(), static_cast<qsizetype>(data.size())));
}

void TForm1::SendCommand(const std::string& text)
{
    if (SendUDPCB->isChecked())
        SendDatagram(text);
    if (channel_->ok())
        channel_->SendText(text);
    else
        ShowLostPort();
}

void TForm1::ShowLostPort()
{
    if (std::exchange(portShownOpen_, false))
        ShowPortError();
}

bool TForm1::SendDatagram(const std::string& text)
{
    try {
        NMUDP1->SetRemoteHost(IPE->text().toStdString());
        bool isNumber = false;
        const int port = PortE->text().toInt(&isNumber);
        NMUDP1->SetRemotePort(isNumber ? port : kDefaultUdpPort);
        NMUDP1->SendDatagram(text.data(), static_cast<int>(text.size()));
        return true;
    } catch (const Exception& error) {
        Daten->SetCaption(QString::fromStdString(error.Message()));
        return false;
    }
}
