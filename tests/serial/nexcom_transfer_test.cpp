// Sending files over the channel: chunk sizes, the report sequence, refusals, aborts, failures.
#include "os/linux/PseudoTerminal.h"
#include "serial/FileTransfer.h"
#include "support/PortsDirectory.h"
#include "support/Waiting.h"
#include "support/channel_support.h"

#include <QPointer>
#include <QString>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Report = std::pair<std::int32_t, std::int32_t>;

std::wstring Wide(const std::string& path)
{
    return std::filesystem::path(path).wstring();
}

std::string RandomBytes(std::size_t count, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator());
    return bytes;
}

// The reports of a transfer of `size` bytes in chunks of `chunk`: the start, one per chunk, and
// the closing one.
std::vector<Report> ExpectedReports(std::int32_t size, std::int32_t chunk)
{
    std::vector<Report> reports{{0, 0}};
    for (std::int32_t sent = chunk; sent < size + chunk; sent += chunk) {
        const std::int32_t now = std::min(sent, size);
        reports.emplace_back(static_cast<std::int32_t>(std::int64_t{now} * 100 / size), now);
    }
    reports.emplace_back(100, size);
    return reports;
}

TEST(FileTransferChunks, HundredthOfTheFileWithinLimits)
{
    const std::pair<std::int64_t, std::int32_t> cases[] = {
        {1000, 10}, {50, 1}, {0, 1}, {199, 1}, {10000000, 65534}, {6553400, 65534}, {6553300, 65533},
    };
    for (const auto& [size, chunk] : cases) {
        ChannelTempFile file;
        std::filesystem::resize_file(file.Path(), static_cast<std::uintmax_t>(size));
        FileTransfer transfer;
        ASSERT_TRUE(transfer.Open(file.Path(), 65534));
        EXPECT_EQ(transfer.Size(), size);
        EXPECT_EQ(transfer.ChunkSize(), chunk) << size;
    }
    ChannelTempFile file(std::string(1000, 'x'));
    FileTransfer transfer;
    ASSERT_TRUE(transfer.Open(file.Path(), 0)); // a buffer size of 0 still moves a byte a time
    EXPECT_EQ(transfer.ChunkSize(), 1);

    // Beyond what a 32-bit count holds, the size stops at the limit instead of turning negative.
    std::filesystem::resize_file(file.Path(), std::uintmax_t{3} << 30);
    ASSERT_TRUE(transfer.Open(file.Path(), 65534));
    EXPECT_EQ(transfer.Size(), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(transfer.ChunkSize(), 65534);
}

TEST(FileTransferChunks, FileThatShrinksEndsTheTransferInsteadOfSpinning)
{
    ChannelTempFile file(std::string(100000, 'x'));
    FileTransfer transfer;
    ASSERT_TRUE(transfer.Open(file.Path(), 65534));
    std::size_t sent = 0;
    auto count = [&](char) { ++sent; };
    ASSERT_TRUE(transfer.SendChunk(count));
    std::filesystem::resize_file(file.Path(), 2000);
    int chunks = 1;
    while (transfer.SendChunk(count) && chunks < 200)
        ++chunks;
    EXPECT_LT(chunks, 100);
    EXPECT_LT(transfer.BytesSent(), transfer.Size());
    EXPECT_EQ(static_cast<std::size_t>(transfer.BytesSent()), sent);
}

class SendingChannel : public ::testing::Test {
protected:
    void SetUp() override
    {
        channel.SetDeviceName(pty.SlavePath());
        channel.SetOnSendFileComplete([this](QObject* sender, std::int32_t percent, std::int32_t sent) {
            EXPECT_EQ(sender, &channel);
            reports.emplace_back(percent, sent);
            if (onReport)
                onReport(percent, sent);
        });
    }

    void Open()
    {
        channel.OpenPort();
        ASSERT_TRUE(channel.ok());
    }

    void WaitForEnd()
    {
        ASSERT_TRUE(WaitUntil([&] { return !channel.SendFileInProgress(); },
                              std::chrono::seconds(60)));
    }

    PseudoTerminal pty;
    const PortsDirectory ports;
    TNexComThread channel{ports.Names()};
    std::vector<Report> reports;
    std::function<void(std::int32_t, std::int32_t)> onReport;
};

TEST_F(SendingChannel, ThousandBytesInStepsOfTen)
{
    const std::string contents = RandomBytes(1000, 1);
    ChannelTempFile file(contents);
    Open();
    channel.SendFile(Wide(file.Path()));
    EXPECT_TRUE(channel.SendFileInProgress());
    WaitForEnd();
    EXPECT_EQ(reports, ExpectedReports(1000, 10));
    EXPECT_EQ(reports[1], Report(1, 10));
    EXPECT_EQ(pty.Receive(1000), contents);
    EXPECT_FALSE(ProcessHoldsFile(file.Path()));
}

TEST_F(SendingChannel, FiftyBytesOneAtATime)
{
    ChannelTempFile file(std::string(50, '5'));
    Open();
    channel.SendFile(Wide(file.Path()));
    WaitForEnd();
    EXPECT_EQ(reports, ExpectedReports(50, 1));
    EXPECT_EQ(reports[1], Report(2, 1));
    EXPECT_EQ(reports[50], Report(100, 50));
    EXPECT_EQ(reports[51], Report(100, 50));
}

TEST_F(SendingChannel, EmptyFileEndsWithinTheCall)
{
    ChannelTempFile file;
    Open();
    channel.SendFile(Wide(file.Path()));
    EXPECT_FALSE(channel.SendFileInProgress());
    EXPECT_EQ(reports, (std::vector<Report>{{0, 0}, {100, 0}}));
}

TEST_F(SendingChannel, NonAsciiFileName)
{
    const std::wstring folder =
        std::filesystem::temp_directory_path().wstring() + L"/channel-\u00e4\u00f6\u00fc-" +
        std::to_wstring(getpid());
    const std::wstring name = folder + L"/Zeitmessung \u00dc.txt";
    const auto utf8 = [](const std::wstring& w) { return QString::fromStdWString(w).toStdString(); };
    std::filesystem::create_directories(utf8(folder));
    {
        ChannelTempFile source("x\r");
        std::filesystem::copy_file(source.Path(), utf8(name),
                                   std::filesystem::copy_options::overwrite_existing);
    }
    Open();
    channel.SendFile(name);
    WaitForEnd();
    EXPECT_EQ(pty.Receive(2), "x\r");
    std::filesystem::remove_all(utf8(folder));
}

TEST_F(SendingChannel, RefusalsAndTheirMessages)
{
    ChannelTempFile file(std::string(1000, 'a'));
    Open();
    EXPECT_THROW(channel.SendFile(L"/no/such/file"), EAbort);
    EXPECT_EQ(channel.LastError(), "File does not exist or send file already in progress");
    EXPECT_THROW(channel.SendFile(Wide(std::filesystem::temp_directory_path().string())), EAbort);
    EXPECT_EQ(channel.LastError(), "File does not exist or send file already in progress");
    EXPECT_TRUE(reports.empty());

    channel.SendFile(Wide(file.Path()));
    channel.SetOnSendFileComplete(nullptr);
    ChannelTempFile other("other");
    EXPECT_THROW(channel.SendFile(Wide(other.Path())), EAbort);
    EXPECT_EQ(channel.LastError(), "File does not exist or send file already in progress");
    EXPECT_TRUE(channel.SendFileInProgress());
    // The running transfer goes on undisturbed, silently now.
    WaitForEnd();
    EXPECT_EQ(pty.Receive(1000), std::string(1000, 'a'));
    EXPECT_EQ(reports.size(), 2u);

    channel.ClosePort();
    EXPECT_THROW(channel.SendFile(Wide(file.Path())), EAbort);
    EXPECT_EQ(channel.LastError(), "Can't perform this operation on a closed port");
}

// A file that exists but that this process cannot read. Root reads every ordinary file, but
// not a kernel attribute that can only be written.
std::optional<std::string> UnreadableFile(const std::string& ordinary)
{
    chmod(ordinary.c_str(), 0);
    for (const std::string& path : {ordinary, std::string("/sys/bus/cpu/uevent"),
                                    std::string("/sys/bus/pci/rescan")}) {
        if (!std::filesystem::is_regular_file(path))
            continue;
        if (std::FILE* f = std::fopen(path.c_str(), "rb"))
            std::fclose(f);
        else
            return path;
    }
    return std::nullopt;
}

TEST_F(SendingChannel, UnreadableFile)
{
    ChannelTempFile file("secret");
    const auto path = UnreadableFile(file.Path());
    if (!path)
        GTEST_SKIP() << "no unreadable file to be found";
    Open();
    EXPECT_THROW(channel.SendFile(Wide(*path)), EAbort);
    EXPECT_EQ(channel.LastError(), "No read access to the file: " + *path);
    EXPECT_FALSE(channel.SendFileInProgress());
    EXPECT_TRUE(reports.empty());
    EXPECT_FALSE(ProcessHoldsFile(*path));
}

TEST_F(SendingChannel, AbortAfterThreeHundredOfAThousand)
{
    ChannelTempFile file(std::string(1000, 'b'));
    Open();
    channel.AbortSendFile(); // idle: nothing at all
    EXPECT_TRUE(reports.empty());
    onReport = [&](std::int32_t, std::int32_t sent) {
        if (sent == 300) {
            channel.AbortSendFile();
            EXPECT_FALSE(channel.SendFileInProgress());
            EXPECT_EQ(reports.back(), Report(100, 1000));
        }
    };
    channel.SendFile(Wide(file.Path()));
    WaitForEnd();
    std::vector<Report> expected = ExpectedReports(1000, 10);
    expected.resize(31);
    expected.emplace_back(100, 1000);
    EXPECT_EQ(reports, expected);
    EXPECT_FALSE(ProcessHoldsFile(file.Path()));
    RunEventLoop(std::chrono::milliseconds(50)); // a late transmit-empty reports nothing
    EXPECT_EQ(reports.size(), expected.size());
}

TEST_F(SendingChannel, TxEmptyEventOnlyWhileIdle)
{
    ChannelTempFile file(std::string(300, 'c'));
    int txEmpty = 0;
    channel.SetOnTxEmpty([&](QObject* sender) {
        EXPECT_EQ(sender, &channel);
        EXPECT_FALSE(channel.SendFileInProgress());
        ++txEmpty;
    });
    Open();
    channel.SendFile(Wide(file.Path()));
    WaitForEnd();
    RunEventLoop(std::chrono::milliseconds(20));
    EXPECT_EQ(txEmpty, 0);
    channel.SendText("x");
    ASSERT_TRUE(WaitUntil([&] { return txEmpty == 1; }));
}

TEST_F(SendingChannel, DestroyingTheChannelClosesTheFile)
{
    ChannelTempFile file(std::string(1000, 'd'));
    auto* sender = new TNexComThread(ports.Names());
    sender->SetDeviceName(pty.SlavePath());
    sender->OpenPort();
    sender->SendFile(Wide(file.Path()));
    ASSERT_TRUE(sender->SendFileInProgress());
    ASSERT_TRUE(ProcessHoldsFile(file.Path()));
    EXPECT_TRUE(fcntl(DescriptorOf(file.Path()), F_GETFD) & FD_CLOEXEC)
        << "a program started from the window must not inherit the file";
    delete sender;
    EXPECT_FALSE(ProcessHoldsFile(file.Path()));
}

TEST_F(SendingChannel, ProgressHandlerMayDestroyTheChannel)
{
    // Once at the first report, inside SendFile, and once at the closing report of an abort;
    // the memory checker watches that nothing of the channel is touched afterwards.
    ChannelTempFile file(std::string(1000, 'f'));
    for (const Report& fatal : {Report(0, 0), Report(100, 1000)}) {
        auto* doomed = new TNexComThread(ports.Names());
        const QPointer<TNexComThread> watch(doomed);
        doomed->SetDeviceName(pty.SlavePath());
        std::vector<Report> seen;
        doomed->SetOnSendFileComplete([&](QObject*, std::int32_t percent, std::int32_t sent) {
            seen.emplace_back(percent, sent);
            if (Report(percent, sent) == fatal)
                delete doomed;
            else if (sent == 300)
                doomed->AbortSendFile();
        });
        doomed->OpenPort();
        doomed->SendFile(Wide(file.Path()));
        ASSERT_TRUE(WaitUntil([&] { return watch.isNull(); }));
        RunEventLoop(std::chrono::milliseconds(30));
        EXPECT_EQ(seen.back(), fatal);
        EXPECT_EQ(seen.size(), fatal.first == 0 ? 1u : 32u);
        EXPECT_FALSE(ProcessHoldsFile(file.Path()));
    }
    Open(); // the port went with the channel
}

TEST_F(SendingChannel, WriteFailingInsideAChunkEndsTheTransfer)
{
    auto system = std::make_shared<ScriptedSystem>(channel.Names());
    channel.SetSystem(system);
    ChannelTempFile file(std::string(1000, 'e'));
    Open();
    onReport = [&](std::int32_t, std::int32_t sent) {
        if (sent == 10)
            system->LimitWrites(0); // the transmitter stops taking bytes
    };
    channel.SendFile(Wide(file.Path()));
    WaitForEnd();
    // The first byte of the second chunk went to the driver; the next write found it stuck.
    EXPECT_EQ(reports, (std::vector<Report>{{0, 0}, {1, 10}, {1, 11}}));
    EXPECT_EQ(channel.LastError(), "Timeout");
    EXPECT_FALSE(ProcessHoldsFile(file.Path()));
    RunEventLoop(std::chrono::milliseconds(50));
    EXPECT_EQ(reports.size(), 3u);

    // Nothing is left stuck: the next transfer starts and completes.
    onReport = nullptr;
    system->LimitWrites(std::nullopt);
    reports.clear();
    channel.SendFile(Wide(file.Path()));
    WaitForEnd();
    EXPECT_EQ(reports.back(), Report(100, 1000));
}

TEST_F(SendingChannel, FileLargerThanTheLineQueueArrivesByteForByte)
{
    // Several times what a pseudo-terminal holds, so that the bytes pass only as the far end
    // takes them. A reader held up by a busy machine must not end the transfer with a time-out:
    // only lost or reordered bytes fail here. The rate is measured in bench/serial-channel.
    constexpr std::int32_t kSize = 128 << 10;
    const std::string contents = RandomBytes(kSize, 7);
    ChannelTempFile file(contents);
    channel.SetTimeout(30000);
    Open();
    std::string arrived;
    std::thread reader([&] { arrived = pty.Receive(contents.size(), 60000); });
    channel.SendFile(Wide(file.Path()));
    WaitForEnd();
    reader.join();
    EXPECT_EQ(arrived.size(), contents.size());
    EXPECT_TRUE(arrived == contents);
    EXPECT_EQ(reports.back(), Report(100, kSize));
    EXPECT_EQ(channel.LastError(), "");
}

} // namespace
