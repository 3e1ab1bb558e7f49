#include "EventRecorder.h"

#include <QCoreApplication>

#include <algorithm>

int EventRecorder::Count(const std::string& name) const
{
    return static_cast<int>(std::count(events.begin(), events.end(), name));
}

void EventRecorder::Note(const std::string& name, QObject* sender)
{
    events.push_back(name);
    senders.push_back(sender);
    if (QThread::currentThread() != QCoreApplication::instance()->thread())
        allOnMainThread = false;
    if (during)
        during(name);
}
