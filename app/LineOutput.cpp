// How display lines and commands leave the window: the serial channel and the datagram. Each
// route goes on whatever the other does, and each says its own trouble in its own place: the
// serial line beside "Interface", the datagram in "Data:".
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

    WriteToPort(data);
    if (SendUDPCB->isChecked() && !SendDatagram(data))
        return;
    Daten->SetCaption(QString::fromLatin1(data.data(), static_cast<qsizetype>(data.size())));
}

void TForm1::SendCommand(const std::string& text)
{
    if (SendUDPCB->isChecked())
        SendDatagram(text);
    WriteToPort(text);
}

void TForm1::WriteToPort(const std::string& text)
{
    // A port lost under the window has said so already (PortLost).
    if (!channel_->ok())
        return;
    try {
        channel_->SendText(text);
    } catch (const Exception&) {
        // The channel has kept the reason (a write that timed out, a device gone); this line is
        // lost on the serial route only.
        portInTrouble_ = true;
        ShowPortError();
        return;
    }
    // A line went out after trouble: the port is fine again.
    const QString fine = QStringLiteral("COM%1 OK!").arg(PortNumber());
    if (std::exchange(portInTrouble_, false) && Schnittstelle->text() != fine) {
        Schnittstelle->SetCaption(fine);
        Schnittstelle->SetHint(kInterfaceHint);
    }
}

void TForm1::SetRemote()
{
    NMUDP1->SetRemoteHost(IPE->text().toStdString());
    bool isNumber = false;
    const int port = PortE->text().toInt(&isNumber);
    NMUDP1->SetRemotePort(isNumber ? port : kDefaultUdpPort);
}

void TForm1::LookUpHost(std::chrono::milliseconds wait)
{
    SetRemote();
    NMUDP1->LookUpRemoteHost(wait);
}

bool TForm1::SendDatagram(const std::string& text)
{
    try {
        SetRemote();
        NMUDP1->SendDatagram(text.data(), static_cast<int>(text.size()));
        return true;
    } catch (const Exception& error) {
        Daten->SetCaption(QString::fromStdString(error.Message()));
        return false;
    }
}
