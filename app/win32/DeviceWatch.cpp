// Windows tells every top-level window when a device arrives or is removed (WM_DEVICECHANGE,
// broadcast for ports without registering). The window sees it through the application's
// native event filter; the port list is also refreshed whenever it is opened.
#include "app/DeviceWatch.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>

#include <windows.h>

#include <dbt.h>

class DeviceWatch::Source : public QObject, public QAbstractNativeEventFilter {
public:
    explicit Source(DeviceWatch& owner) : QObject(&owner), owner_(owner)
    {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~Source() override
    {
        if (QCoreApplication* application = QCoreApplication::instance())
            application->removeNativeEventFilter(this);
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        if (type != "windows_generic_MSG" && type != "windows_dispatcher_MSG")
            return false;
        const MSG* msg = static_cast<const MSG*>(message);
        if (msg->message != WM_DEVICECHANGE)
            return false;
        switch (msg->wParam) {
        case DBT_DEVICEARRIVAL:
        case DBT_DEVICEREMOVECOMPLETE:
        case DBT_DEVNODES_CHANGED:
            owner_.Noticed();
            break;
        default:
            break;
        }
        // Others may want the message as well.
        return false;
    }

private:
    DeviceWatch& owner_;
};

void DeviceWatch::Listen(const ComNames&)
{
    new Source(*this);
}
