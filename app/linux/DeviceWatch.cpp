// Serial devices come and go as entries of /dev, /dev/serial/by-id and the user's ports
// directory. A folder that does not exist yet is waited for through the nearest folder above it,
// so that one made later is watched from then on.
#include "app/DeviceWatch.h"

#include "os/linux/ComRoots.h"

#include <QFileInfo>
#include <QFileSystemWatcher>

namespace {

// The folder itself when it exists, otherwise the nearest one above it that does.
QString ExistingFolder(const std::string& path)
{
    QFileInfo place(QString::fromStdString(path));
    while (!place.isDir() && !place.isRoot())
        place.setFile(place.absolutePath());
    return place.absoluteFilePath();
}

} // namespace

class DeviceWatch::Source : public QObject {
public:
    Source(DeviceWatch& owner, const ComNames& names) : QObject(&owner), roots_(names.Places())
    {
        connect(&watcher_, &QFileSystemWatcher::directoryChanged, &owner, [this, &owner] {
            WatchFolders();
            owner.Noticed();
        });
        WatchFolders();
    }

private:
    void WatchFolders()
    {
        QStringList wanted;
        // The by-id names come a moment after the node, once udev has looked at the adapter.
        for (const std::string& folder : {roots_.dev, roots_.portsDir, roots_.byId}) {
            if (!folder.empty())
                wanted << ExistingFolder(folder);
        }
        wanted.removeDuplicates();
        for (const QString& watched : watcher_.directories()) {
            if (!wanted.contains(watched))
                watcher_.removePath(watched);
        }
        for (const QString& folder : wanted) {
            if (!watcher_.directories().contains(folder))
                watcher_.addPath(folder);
        }
    }

    const ComNames::Roots roots_;
    QFileSystemWatcher watcher_;
};

void DeviceWatch::Listen(const ComNames& names)
{
    new Source(*this, names);
}
