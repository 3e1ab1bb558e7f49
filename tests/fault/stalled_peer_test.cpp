// The board stops taking bytes: the driver's queue fills, writes time out, and the window keeps
// answering. When the board reads again, lines flow again.
#include "LiveWindow.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstring>

namespace {

using namespace std::chrono_literals;

// Longer than this and a user calls the window frozen. A tick or a change here takes about one
// write time-out (100 ms), under valgrind too; one that waited for the stuck bytes would never
// end. What a tick really takes is measured in bench/app.
constexpr qint64 kFrozenMs = 2000;

class StalledPeer : public LiveWindow {};

TEST_F(StalledPeer, WritesTimeOutWithoutFreezingTheWindow)
{
    OpenOn(7, com7);
    com7.StopReading();
    form->ActualTime->click();
    ASSERT_TRUE(WaitUntil([&] { return form->Channel().LastError() == "Timeout"; }, 10s));
    EXPECT_TRUE(form->Channel().ok()) << "a timeout is no reason to close the port";
    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_TRUE(desktop.messages.empty()) << "the silent abort shows no box";

    // Each tick waits for the previous write at most for its time-out; other timers go on.
    int probes = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] { ++probes; });
    probe.start(10);
    ASSERT_TRUE(WaitUntil([&] { return probes >= 20; }, 10s)) << "the event loop keeps running";
    qint64 longest = 0;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer handler;
        handler.start();
        Guarded(desktop, [&] { form->Timer1Timer(); });
        longest = std::max(longest, handler.elapsed());
    }
    EXPECT_LT(longest, kFrozenMs) << "a tick returns after its write time-out";
    EXPECT_TRUE(desktop.messages.empty());

    // The board reads again: whole lines arrive once the stale queue is gone.
    std::string seen;
    ASSERT_TRUE(WaitUntil([&] {
        seen += com7.Take();
        seen.erase(0, seen.find_first_not_of('x'));
        return std::count(seen.begin(), seen.end(), '\r') >= 3;
    }, 10s));
    EXPECT_TRUE(form->Channel().ok());
}

TEST_F(StalledPeer, UnpluggedWhileWritesAreStuck)
{
    OpenOn(7, com7);
    com7.StopReading();
    form->ActualTime->click();
    ASSERT_TRUE(WaitUntil([&] { return form->Channel().LastError() == "Timeout"; }, 10s));

    com7.Close();
    ASSERT_TRUE(WaitUntil([&] { return !form->Channel().ok(); }, 10s));
    ASSERT_TRUE(TimerTicks(20));
    EXPECT_EQ(form->Channel().LastError(), std::strerror(EIO));
    EXPECT_EQ(form->Schnittstelle->text().toStdString(), std::strerror(EIO));
    EXPECT_TRUE(desktop.messages.empty());
    EXPECT_TRUE(form->Timer1->isActive());
}

// Changing the rate or closing the window while bytes are stuck must not wait for them.
TEST_F(StalledPeer, ReconfiguringAndClosingDoNotWaitForStuckBytes)
{
    WaitUntil([] { return Threads() == 1; }); // threads of earlier tests are gone
    const std::size_t descriptors = OpenDescriptors();
    OpenOn(7, com7);
    com7.StopReading();
    form->ActualTime->click();
    ASSERT_TRUE(WaitUntil([&] { return form->Channel().LastError() == "Timeout"; }, 10s));

    QElapsedTimer closing;
    closing.start();
    form->Baud->setCurrentIndex(2);
    emit form->Baud->activated(2);
    EXPECT_TRUE(form->Channel().ok());
    EXPECT_TRUE(form->Timer1->isActive()) << "the test goes on after the change";
    EXPECT_LT(closing.elapsed(), kFrozenMs);

    closing.restart();
    form.reset();
    EXPECT_LT(closing.elapsed(), kFrozenMs);
    EXPECT_TRUE(desktop.messages.empty());
    // The window took its datagram socket, its device watch and its test timer along; the device
    // must have gone with the port.
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors() == descriptors - 3 && Threads() == 1; }))
        << OpenDescriptors() << " descriptors, " << Threads() << " threads";
}

} // namespace
