#include "board/PortRegistration.h"

#include "lang/Exceptions.h"
#include "support/PortsDirectory.h"

#include <QTemporaryDir>
#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;
using board::PortRegistration;

namespace {

// The machine has a serial port of its own, COM1.
class PortRegistrationTest : public testing::Test {
protected:
    PortRegistrationTest() { ports.Node("ttyS0"); }

    fs::path Dir() const { return ports.Path(); }
    // A node that exists, to point links at.
    std::string Device() const { return ports.Places().dev + "/ttyS0"; }
    bool MachinePort(int number) const { return ports.Places().MachinePortPresent(number); }

    // The first number a new board should take, given the links present.
    int FirstFree() const
    {
        for (int n = 1;; ++n)
            if (!MachinePort(n) && !fs::is_symlink(Dir() / ("COM" + std::to_string(n))))
                return n;
    }

    PortsDirectory ports;
};

} // namespace

TEST_F(PortRegistrationTest, TakesTheLowestFreeNumberAndRemovesItsLinkOnExit)
{
    fs::create_symlink(Device(), Dir() / ("COM" + std::to_string(FirstFree())));
    const int expected = FirstFree();
    std::optional<PortRegistration> first(std::in_place, ports.Places(), Device(), std::nullopt);
    const int n = first->Number();
    EXPECT_EQ(n, expected) << "lowest number that no link and no machine port uses";
    EXPECT_EQ(fs::read_symlink(Dir() / first->Name()), Device());
    EXPECT_FALSE(MachinePort(n)) << "never shadows a port of the machine";

    PortRegistration second(ports.Places(), Device(), std::nullopt);
    EXPECT_GT(second.Number(), n);

    first.reset();
    EXPECT_FALSE(fs::exists(fs::symlink_status(Dir() / ("COM" + std::to_string(n)))));
    EXPECT_TRUE(fs::is_symlink(second.Link()));

    PortRegistration third(ports.Places(), Device(), std::nullopt);
    EXPECT_EQ(third.Number(), n) << "a freed number is taken again";
}

TEST_F(PortRegistrationTest, CreatesTheDirectoryAndPassesOverTheUsersDanglingLink)
{
    const fs::path unplugged = Dir() / ("COM" + std::to_string(FirstFree()));
    fs::create_symlink(Dir() / "gone", unplugged);
    const int expected = FirstFree();
    {
        PortRegistration registration(ports.Places(), Device(), std::nullopt);
        EXPECT_EQ(registration.Number(), expected) << "the user's link to an adapter that is out";
    }
    EXPECT_EQ(fs::read_symlink(unplugged), Dir() / "gone");

    QTemporaryDir fresh;
    ComNames::Roots nested = ports.Places();
    nested.portsDir = fresh.path().toStdString() + "/a/b";
    PortRegistration inNewDirectory(nested, Device(), 7);
    EXPECT_TRUE(fs::is_symlink(nested.portsDir + "/COM7"));
}

TEST_F(PortRegistrationTest, RequestedNumberMustBeFree)
{
    PortRegistration mine(ports.Places(), Device(), 42);
    EXPECT_EQ(mine.Name(), "COM42");
    try {
        PortRegistration again(ports.Places(), Device(), 42);
        FAIL() << "a live link was replaced";
    } catch (const Exception& error) {
        EXPECT_NE(error.Message().find("COM42"), std::string::npos) << error.Message();
    }
    EXPECT_THROW(PortRegistration(ports.Places(), Device(), 100), Exception);
    EXPECT_THROW(PortRegistration(ports.Places(), Device(), 0), Exception);
}

TEST_F(PortRegistrationTest, LeavesALinkAloneThatSomeoneElseReplaced)
{
    const fs::path link = Dir() / "COM9";
    {
        PortRegistration mine(ports.Places(), Device(), 9);
        fs::remove(link);
        fs::create_symlink("/dev/null", link);
    }
    EXPECT_EQ(fs::read_symlink(link), "/dev/null");
}
