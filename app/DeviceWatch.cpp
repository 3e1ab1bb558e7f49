#include "app/DeviceWatch.h"

namespace {

constexpr int kSettleMs = 100;

} // namespace

DeviceWatch::DeviceWatch(const ComNames& names, QObject* parent) : QObject(parent)
{
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    connect(&settle_, &QTimer::timeout, this, &DeviceWatch::Changed);
    Listen(names);
}

void DeviceWatch::Noticed()
{
    settle_.start();
}
