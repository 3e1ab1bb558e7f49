#include "app/DeviceWatch.h"

#include "os/ComNames.h"

#include <QFileInfo>

namespace {

constexpr int kSettleMs = 100;

// The folder itself when it exists, otherwise the nearest one above it that does.
QString ExistingFolder(const std::string& path)
{
    QFileInfo place(QString::fromStdString(path));
    while (!place.isDir() && !place.isRoot())
        place.setFile(place.absolutePath());
    return place.absoluteFilePath();
}

} // namespace

DeviceWatch::DeviceWatch(QObject* parent) : QObject(parent)
{
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    connect(&settle_, &QTimer::timeout, this, &DeviceWatch::Changed);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] {
        WatchFolders();
        settle_.start();
    });
    WatchFolders();
}

void DeviceWatch::WatchFolders()
{
    const ComNames::Roots roots = ComNames::FromEnvironment().Folders();
    QStringList wanted;
    // The by-id names come a moment after the node, once udev has looked at the adapter.
    for (const std::string& folder : {roots.dev, roots.portsDir, roots.byId}) {
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
