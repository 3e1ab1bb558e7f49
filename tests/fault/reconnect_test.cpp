// The adapter is pulled and comes back: the window opens it again by itself and the running test
// goes on, unless the user chose meanwhile; a reopen refused for a moment is tried again, one
// refused for good waits for the next return.
// Pulling is closing the pseudo-terminal's far end, plugging back is linking the COM number to
// a new one as the virtual board does, with its marker locked beside the link.
#include "LiveWindow.h"

#include "app/DeviceWatch.h"
#include "os/linux/BoardLink.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <sys/file.h>

using namespace std::chrono_literals;

namespace {

class Reconnecting : public LiveWindow {
protected:
    Reconnecting()
    {
        QObject::connect(form->findChild<DeviceWatch*>(), &DeviceWatch::Changed, form.get(),
                         [this] { ++looks; });
    }

    // Changes the ports directory and runs the event loop until the window has looked at the
    // devices again, and so has decided whether to reopen.
    bool Relink(int number, const std::string& target)
    {
        return Change([&] { ports.Link(number, target); });
    }
    bool Plug(int number, const FarEnd& device)
    {
        return Change([&] {
            const std::string link = ports.Path() + "/COM" + std::to_string(number);
            boards[number].reset();
            boards[number] = BoardLink::LockMarker(link);
            BoardLink::WriteTarget(boards[number].get(), device.SlavePath());
            ports.Link(number, device.SlavePath());
        });
    }
    bool Unlink(int number)
    {
        const std::string link = ports.Path() + "/COM" + std::to_string(number);
        return Change([&] { std::filesystem::remove(link); });
    }
    bool Pull(FarEnd& device)
    {
        device.Close();
        return WaitUntil([&] { return !form->Channel().ok(); });
    }

    int looks = 0;
    std::map<int, UniqueFd> boards; // the markers of the boards that run

private:
    bool Change(const std::function<void()>& change)
    {
        const int before = looks;
        change();
        return WaitUntil([&] { return looks > before; });
    }
};

TEST_F(Reconnecting, TheReturningAdapterIsReopenedUnlessTheUserChoseMeanwhile)
{
    OpenOn(7, com7);
    form->ActualTime->click();
    ASSERT_TRUE(WaitUntil([&] { return !com7.Take().empty(); }));
    ASSERT_TRUE(Pull(com7));

    FarEnd back;
    ASSERT_TRUE(Plug(7, back));
    ASSERT_TRUE(form->Channel().ok()) << form->Channel().LastError();
    EXPECT_EQ(form->Schnittstelle->text(), "COM7 OK!");
    const QString hint = form->Schnittstelle->toolTip();
    EXPECT_TRUE(hint.contains("after a reconnect")) << hint.toStdString();
    EXPECT_EQ(form->Port->currentText(), "COM7");
    EXPECT_EQ(form->Channel().Baud(), 19200);
    std::string lines;
    EXPECT_TRUE(WaitUntil([&] { return (lines += back.Take()).size() >= 46; }))
        << "Actual Time goes on";
    EXPECT_TRUE(desktop.messages.empty());

    // Pulled again, and meanwhile the user picks another port, which is not there either.
    ASSERT_TRUE(Pull(back));
    ASSERT_TRUE(Relink(9, ports.Path() + "/missing"));
    Choose(form->Port, "COM9");
    EXPECT_EQ(desktop.messages.size(), 1u) << "a failed pick as ever";
    FarEnd third;
    ASSERT_TRUE(Plug(7, third));
    EXPECT_FALSE(form->Channel().ok()) << "the user's choice stands";
    EXPECT_EQ(form->Schnittstelle->text().toStdString(), std::strerror(ENOENT));
}

TEST_F(Reconnecting, AReturnedAdapterRefusedForAMomentIsTriedAgainThenTheReasonShows)
{
    OpenOn(7, com7);
    ASSERT_TRUE(Pull(com7));

    // Back, but another program holds it for a moment (ModemManager probing a new ttyACM).
    FarEnd back;
    ASSERT_EQ(::flock(back.Slave(), LOCK_EX | LOCK_NB), 0);
    ASSERT_TRUE(Plug(7, back));
    EXPECT_FALSE(form->Channel().ok());
    ASSERT_EQ(::flock(back.Slave(), LOCK_UN), 0);
    EXPECT_TRUE(WaitUntil([&] { return form->Channel().ok(); }, 4s)) << "tried again unasked";
    EXPECT_EQ(form->Schnittstelle->text(), "COM7 OK!");

    // Held for good: the reason shows once the device has had its time, and it is not tried
    // again until it comes back once more.
    ASSERT_TRUE(Pull(back));
    FarEnd held;
    ASSERT_EQ(::flock(held.Slave(), LOCK_EX | LOCK_NB), 0);
    ASSERT_TRUE(Plug(7, held));
    EXPECT_TRUE(WaitUntil(
        [&] { return form->Schnittstelle->text().toStdString() == std::strerror(EBUSY); }, 8s));
    ASSERT_EQ(::flock(held.Slave(), LOCK_UN), 0);
    FarEnd other;
    ASSERT_TRUE(Relink(8, other.SlavePath()));
    EXPECT_FALSE(form->Channel().ok());

    ASSERT_TRUE(Unlink(7));
    ASSERT_TRUE(Plug(7, held));
    EXPECT_TRUE(form->Channel().ok()) << form->Channel().LastError();
    EXPECT_TRUE(desktop.messages.empty()) << "nobody clicked: no message box";
}

} // namespace

TEST_F(Reconnecting, AUsersLinkThatLeadsToAnotherTerminalNowIsNotReopened)
{
    // Nothing vouches for a pseudo-terminal behind the user's own link: its number goes to the
    // next terminal opened, another program's, which must not get the test's lines.
    OpenOn(7, com7);
    form->ActualTime->click();
    ASSERT_TRUE(WaitUntil([&] { return !com7.Take().empty(); }));
    ASSERT_TRUE(Pull(com7));
    FarEnd shell;
    ASSERT_TRUE(Relink(7, shell.SlavePath()));
    EXPECT_FALSE(form->Channel().ok());
    const QString hint = form->Schnittstelle->toolTip();
    EXPECT_TRUE(hint.contains("Not reopened: COM7")) << hint.toStdString();
    EXPECT_EQ(shell.Take(), "");
}
