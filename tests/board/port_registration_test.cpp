#include "board/PortRegistration.h"

#include "os/linux/ComRoots.h"
#include "lang/Exceptions.h"

#include <QTemporaryDir>
#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;
using board::PortRegistration;

namespace {

bool MachinePort(int number)
{
    return ComNames::Roots{}.MachinePortPresent(number);
}

class PortRegistrationTest : public testing::Test {
protected:
    fs::path Dir() const { return fs::path(dir_.path().toStdString()) / "marqtest" / "ports"; }
    // A node that exists, to point links at.
    std::string Device() const { return dir_.path().toStdString(); }

    // The first number a new board should take, given the links present.
    int FirstFree() const
    {
        for (int n = 1;; ++n)
            if (!MachinePort(n) && !fs::is_symlink(Dir() / ("COM" + std::to_string(n))))
                return n;
    }

    QTemporaryDir dir_;
};

} // namespace

TEST_F(PortRegistrationTest, TakesTheLowestFreeNumberAndRemovesItsLinkOnExit)
{
    fs::create_directories(Dir());
    fs::create_symlink(Device(), Dir() / ("COM" + std::to_string(FirstFree())));
    const int expected = FirstFree();
    std::optional<PortRegistration> first(std::in_place, Dir(), Device(), std::nullopt);
    const int n = first->Number();
    EXPECT_EQ(n, expected) << "lowest number that no link and no machine port uses";
    EXPECT_EQ(fs::read_symlink(Dir() / first->Name()), Device());
    EXPECT_FALSE(MachinePort(n)) << "never shadows a port of the machine";

    PortRegistration second(Dir(), Device(), std::nullopt);
    EXPECT_GT(second.Number(), n);

    first.reset();
    EXPECT_FALSE(fs::exists(fs::symlink_status(Dir() / ("COM" + std::to_string(n)))));
    EXPECT_TRUE(fs::is_symlink(second.Link()));

    PortRegistration third(Dir(), Device(), std::nullopt);
    EXPECT_EQ(third.Number(), n) << "a freed number is taken again";
}

TEST_F(PortRegistrationTest, CreatesTheDirectoryAndPassesOverTheUsersDanglingLink)
{
    fs::create_directories(Dir());
    const fs::path unplugged = Dir() / ("COM" + std::to_string(FirstFree()));
    fs::create_symlink(Dir() / "gone", unplugged);
    const int expected = FirstFree();
    {
        PortRegistration registration(Dir(), Device(), std::nullopt);
        EXPECT_EQ(registration.Number(), expected) << "the user's link to an adapter that is out";
    }
    EXPECT_EQ(fs::read_symlink(unplugged), Dir() / "gone");

    QTemporaryDir fresh;
    const fs::path nested = fs::path(fresh.path().toStdString()) / "a" / "b";
    PortRegistration inNewDirectory(nested, Device(), 7);
    EXPECT_TRUE(fs::is_symlink(nested / "COM7"));
}

TEST_F(PortRegistrationTest, RequestedNumberMustBeFree)
{
    PortRegistration mine(Dir(), Device(), 42);
    EXPECT_EQ(mine.Name(), "COM42");
    try {
        PortRegistration again(Dir(), Device(), 42);
        FAIL() << "a live link was replaced";
    } catch (const Exception& error) {
        EXPECT_NE(error.Message().find("COM42"), std::string::npos) << error.Message();
    }
    EXPECT_THROW(PortRegistration(Dir(), Device(), 100), Exception);
    EXPECT_THROW(PortRegistration(Dir(), Device(), 0), Exception);
}

TEST_F(PortRegistrationTest, LeavesALinkAloneThatSomeoneElseReplaced)
{
    const fs::path link = Dir() / "COM9";
    {
        PortRegistration mine(Dir(), Device(), 9);
        fs::remove(link);
        fs::create_symlink("/dev/null", link);
    }
    EXPECT_EQ(fs::read_symlink(link), "/dev/null");
}
