// The Interface list: "none", then every serial device present, kept current while the window
// runs. Bringing it up to date touches the list only: the port stays as the user left it.
#include "app/Form1.h"

#include <algorithm>

void TForm1::FillPortList()
{
    QStringList names;
    channel_->EnumComDevices(names);
    const QString chosen = Port->currentIndex() > 0 ? Port->currentText() : QString();
    // An open port keeps its entry even when its device is no longer listed: the list never
    // shows another port than the one that is open.
    if (!chosen.isEmpty() && channel_->ok())
        names << chosen;
    names.sort(Qt::CaseInsensitive);
    names.erase(std::unique(names.begin(), names.end(),
                            [](const QString& a, const QString& b) {
                                return a.compare(b, Qt::CaseInsensitive) == 0;
                            }),
                names.end());
    names.prepend(QStringLiteral("none"));

    QStringList items;
    for (int i = 0; i < Port->count(); ++i)
        items << Port->itemText(i);
    if (items != names) {
        // Items set by program raise no PortChange.
        Port->clear();
        Port->addItems(names);
        Port->setCurrentIndex(std::max(0, Port->findText(chosen)));
    }
    for (int i = 1; i < Port->count(); ++i) {
        const std::string description = channel_->DescribeComDevice(Port->itemText(i).toStdString());
        Port->setItemData(i, QString::fromStdString(description), Qt::ToolTipRole);
    }
}
