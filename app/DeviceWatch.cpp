#include "app/DeviceWatch.h"

namespace {

constexpr int kSettleMs = 100;

} // namespace

DeviceWatch::DeviceWatch(QObject* parent) : QObject(parent)
{
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    connect(&settle_, &QTimer::timeout, this, &DeviceWatch::Changed);
    Listen();
}

void DeviceWatch::Noticed()
{
    settle_.start();
}
