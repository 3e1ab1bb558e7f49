#pragma once
// Says when serial devices may have come or gone. What it listens to is the system's
// (app/linux/DeviceWatch.cpp, app/win32/DeviceWatch.cpp).

#include "os/ComNames.h"

#include <QObject>
#include <QTimer>

class DeviceWatch : public QObject {
    Q_OBJECT
public:
    // `names`: where the COM names lead, whose folders are watched.
    DeviceWatch(const ComNames& names, QObject* parent);

signals:
    // Once per burst of changes: plugging an adapter in makes several at once.
    void Changed();

private:
    // What the system reports: a child of this object that calls Noticed for each change.
    class Source;
    void Listen(const ComNames& names);
    // One change the system reported: Changed follows once the burst has settled.
    void Noticed();

    QTimer settle_;
};
