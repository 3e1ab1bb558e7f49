// The real marqboard and the links it makes in the ports directory: it touches none but its own,
// and what it leaves when it is killed leads into no other program's terminal.

#include "process/BoardProcess.h"
#include "os/linux/PseudoTerminal.h"

#include <QProcess>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace fs = std::filesystem;

TEST(BoardLinks, AUsersLinkToAnUnpluggedAdapterIsLeftAlone)
{
    BoardProcess board;
    const fs::path ports = board.Ports()->Path();
    fs::create_directories(ports);
    const fs::path adapter = ports / "by-id" / "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    fs::create_symlink(adapter, ports / "COM5");

    const bool started = board.Start({"--com", "5"});
    if (started)
        board.Interrupt();
    EXPECT_FALSE(started) << "COM5 is the user's";
    EXPECT_EQ(fs::read_symlink(ports / "COM5"), adapter);
}

TEST(BoardLinks, AKilledBoardsLinkLeadsIntoNoOtherTerminal)
{
    BoardProcess killed;
    ASSERT_TRUE(killed.Start()) << killed.Failure();
    const QString com = killed.Com();
    const fs::path terminal = fs::read_symlink(killed.Link().toStdString());
    killed.Process().kill();
    ASSERT_TRUE(killed.Process().waitForFinished(10000));

    // Another program gets the board's terminal: a new one takes the lowest free number.
    std::vector<std::unique_ptr<PseudoTerminal>> others;
    while (!fs::exists(terminal) && others.size() < 64)
        others.push_back(std::make_unique<PseudoTerminal>());
    ASSERT_TRUE(fs::exists(terminal));

    QProcess tester;
    tester.setProcessEnvironment(killed.Environment());
    tester.start(MARQTEST_PATH, {"--port", com, "--start", "all-digits", "--for", "0"});
    ASSERT_TRUE(tester.waitForFinished(60000));
    EXPECT_EQ(tester.exitCode(), 2) << com.toStdString() << " is listed though its board is gone";

    BoardProcess next(killed.Ports());
    ASSERT_TRUE(next.Start({"--com", com.mid(3)})) << next.Failure();
    EXPECT_EQ(next.Com(), com) << "the next board takes the number over";
}
