// The board goes away in the middle of a file transfer: the transfer ends with its final
// report, and the file and the device are let go.
#include "os/linux/PseudoTerminal.h"
#include "serial/NexCom.h"
#include "support/PortsDirectory.h"
#include "support/ProcessCounts.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstring>
#include <fstream>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kFileSize = 256 * 1024;
constexpr std::size_t kReadBeforeUnplug = 100 * 1024;

// Reads what the channel sends, then goes away as an unplugged adapter does.
void BoardThatIsUnplugged(PseudoTerminal& line)
{
    std::size_t taken = 0;
    while (taken < kReadBeforeUnplug) {
        const std::string chunk = line.Receive(kReadBeforeUnplug - taken, 10000);
        if (chunk.empty())
            break;
        taken += chunk.size();
    }
    line.CloseMaster();
}

TEST(VanishingDuringTransfer, EndsWithItsFinalReportAndLetsEverythingGo)
{
    QTemporaryDir folder;
    const QString file = folder.filePath("Wettkampf.bin");
    std::ofstream(file.toStdString(), std::ios::binary) << std::string(kFileSize, 'A');
    PseudoTerminal line;
    WaitUntil([] { return Threads() == 1; }); // threads of earlier tests are gone
    const std::size_t descriptors = OpenDescriptors();
    const std::size_t threads = Threads();

    const PortsDirectory ports;
    auto channel = std::make_unique<TNexComThread>(ports.Names());
    std::vector<std::pair<int, int>> reports;
    channel->SetOnSendFileComplete(
        [&](QObject*, std::int32_t percent, std::int32_t sent) { reports.emplace_back(percent, sent); });
    channel->SetBaud(19200);
    channel->SetDeviceName(line.SlavePath());
    channel->OpenPort();
    ASSERT_TRUE(channel->ok());

    std::thread board(BoardThatIsUnplugged, std::ref(line));
    try {
        channel->SendFile(file.toStdWString());
    } catch (const EAbort&) {
        // The first chunk may already meet the vanished device; LastError tells.
    }
    const bool ended = WaitUntil([&] { return !channel->SendFileInProgress() && !channel->ok(); }, 60s);
    board.join();
    ASSERT_TRUE(ended) << "transfer in progress: " << channel->SendFileInProgress();

    EXPECT_EQ(channel->LastError(), std::strerror(EIO));
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.front(), std::make_pair(0, 0));
    const auto [percent, sent] = reports.back();
    EXPECT_LT(percent, 100);
    // Every byte the board took counts as sent, but for the one write in flight at the pull:
    // whether it left can no longer be told, and the channel writes a byte at a time.
    EXPECT_GE(static_cast<std::size_t>(sent) + 1, kReadBeforeUnplug);
    EXPECT_LT(static_cast<std::size_t>(sent), kFileSize);
    const std::size_t finalReports = reports.size();
    RunEventLoop(50ms);
    EXPECT_EQ(reports.size(), finalReports) << "nothing is reported after the end";

    // The master is gone; the device and the file must be closed as well, the device perhaps
    // only as the event thread ends.
    const auto asBeforeLessTheMaster = [&] { return OpenDescriptors() == descriptors - 1; };
    EXPECT_TRUE(WaitUntil(asBeforeLessTheMaster)) << OpenDescriptors() << " descriptors open";
    EXPECT_TRUE(WaitUntil([&] { return Threads() <= threads; }));

    // The channel takes a new transfer only on an open port, and says why.
    EXPECT_THROW(channel->SendFile(file.toStdWString()), EAbort);
    EXPECT_FALSE(channel->SendFileInProgress());
    channel.reset();
    EXPECT_TRUE(WaitUntil(asBeforeLessTheMaster)) << OpenDescriptors() << " descriptors open";
}

} // namespace
