#pragma once
// Says when serial devices may have come or gone: an entry added to or removed from /dev,
// /dev/serial/by-id or the user's ports directory. A folder that does not exist yet is waited
// for through the nearest folder above it, so that one made later is watched from then on.

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

class DeviceWatch : public QObject {
    Q_OBJECT
public:
    explicit DeviceWatch(QObject* parent);

signals:
    // Once per burst of changes: plugging an adapter in makes several entries at once.
    void Changed();

private:
    void WatchFolders();

    QFileSystemWatcher watcher_;
    QTimer settle_;
};
