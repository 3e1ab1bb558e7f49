// Choosing the same port again and again closes and reopens it each time; nothing the process
// holds may pile up.
#include "LiveWindow.h"

#include <algorithm>
#include <iostream>

namespace {

using namespace std::chrono_literals;

class Reopening : public LiveWindow {};

TEST_F(Reopening, AThousandReopensLeakNoDescriptorOrThread)
{
    WaitUntil([] { return Threads() == 1; }); // threads of earlier tests are gone
    const std::size_t descriptors = OpenDescriptors();
    const std::size_t threads = Threads();
    OpenOn(7, com7);
    std::size_t busiest = Threads();
    for (int i = 0; i < 1000; ++i) {
        Choose(form->Port, "COM7");
        ASSERT_TRUE(form->Channel().ok()) << "open " << i << ": " << form->Channel().LastError();
        ASSERT_TRUE(form->Channel().HasEventThread());
        busiest = std::max(busiest, Threads());
    }
    EXPECT_TRUE(desktop.messages.empty());
    form->Button1->click();
    EXPECT_EQ(com7.Read(23), "        88:88:88.888  \r") << "the last open still works";
    Choose(form->Port, "none");

    const bool settled = WaitUntil(
        [&] { return OpenDescriptors() <= descriptors && Threads() <= threads; }, 20s);
    std::cout << "[ figures  ] descriptors " << descriptors << " before, " << OpenDescriptors()
              << " after; threads " << threads << " before, " << busiest << " at most while reopening, "
              << Threads() << " after\n";
    EXPECT_TRUE(settled);
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(Threads(), threads);
}

} // namespace
