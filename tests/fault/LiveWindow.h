#pragma once
// The test window with "19200" picked in the rate list and COM7's pseudo-terminal at hand, for
// the tests that unplug a line; OpenOn chooses a port as the user does and makes sure it runs at
// that rate.

#include "WindowFixture.h"

#include "support/FarEnd.h"
#include "support/ProcessCounts.h"

class LiveWindow : public WindowTest {
protected:
    LiveWindow() { form->Baud->setCurrentIndex(3); }
    // The window goes first: closing it must not meet COM7's line vanishing under its port.
    ~LiveWindow() override { form.reset(); }

    // Maps COM`number` to `device` and chooses it.
    void OpenOn(int number, const FarEnd& device);

    FarEnd com7;
};
