// The real marqtest, offscreen and preset by its command line, talking to the real marqboard
// over the virtual serial line and over UDP; the board's JSON must show what the tester sent.

#include "process/BoardProcess.h"
#include "protocol/DisplayLine.h"
#include "protocol/LineTiming.h"
#include "protocol/Recording.h"

#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <cstdio>

#include <QProcess>
#include <gtest/gtest.h>

namespace {

// One run of the tester: started with `arguments`, ended once the board saw what it wanted.
class Tester {
public:
    Tester(const BoardProcess& board, const QStringList& arguments)
    {
        process_.setProcessEnvironment(board.Environment());
        process_.setProcessChannelMode(QProcess::ForwardedChannels);
        process_.start(MARQTEST_PATH, QStringList{"--port", board.Com(), "--udp",
                                                  "127.0.0.1:" + QString::number(board.UdpPort())} +
                                          arguments);
    }
    ~Tester()
    {
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    bool Started() { return process_.waitForStarted(10000); }

private:
    QProcess process_;
};

class EndToEnd : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(board_.Start()) << board_.Failure(); }

    // Runs the tester and waits until both routes delivered an event that `matches`.
    void ExpectOnBothRoutes(const QStringList& arguments,
                            const std::function<bool(const QJsonObject&)>& matches,
                            const char* what)
    {
        Tester tester(board_, arguments);
        ASSERT_TRUE(tester.Started());
        bool serial = false, udp = false;
        board_.WaitFor([&](const QJsonObject& event) {
            if (matches(event))
                (event["route"].toString() == "serial" ? serial : udp) = true;
            return serial && udp;
        }, 60000);
        EXPECT_TRUE(serial) << what << " did not arrive on the serial line";
        EXPECT_TRUE(udp) << what << " did not arrive by UDP";
    }

    static std::function<bool(const QJsonObject&)> Raw(std::string_view bytes)
    {
        const QString raw = QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
        return [raw](const QJsonObject& event) { return event["raw"].toString() == raw; };
    }

    BoardProcess board_;
};

} // namespace

TEST_F(EndToEnd, DisplayLinesArriveAsSent)
{
    ExpectOnBothRoutes({"--start", "all-digits"}, Raw(protocol::kAllDigits), "the all-digits line");
    ExpectOnBothRoutes({"--start", "blank"}, Raw(protocol::kBlank), "the blank line");
    ExpectOnBothRoutes({"--address", "B", "--start", "send-data"},
                       [](const QJsonObject& event) {
                           return event["address"].toString() == "B" && event["mode"].toString() == "C" &&
                                  event["raw"].toString().size() == 24;
                       },
                       "the Send Data line addressed to B");
    EXPECT_EQ(board_.Interrupt(), 0);
}

TEST_F(EndToEnd, LyraCommandsArriveAsSent)
{
    ExpectOnBothRoutes({"--brightness", "7"},
                       [](const QJsonObject& event) {
                           return event["command"].toString() == "brightness" && event["value"].toInt() == 7;
                       },
                       "the brightness command");
    ExpectOnBothRoutes({"--timeout", "42"},
                       [](const QJsonObject& event) {
                           return event["command"].toString() == "timeout" && event["value"].toInt() == 42;
                       },
                       "the time-out command");
}

namespace {

// marqtest run to its end with a board's ports directory; its exit status.
int RunTester(const BoardProcess& board, const QStringList& arguments)
{
    QProcess tester;
    tester.setProcessEnvironment(board.Environment());
    tester.setProcessChannelMode(QProcess::ForwardedChannels);
    tester.start(MARQTEST_PATH, arguments);
    if (!tester.waitForFinished(120000)) {
        tester.kill();
        tester.waitForFinished(5000);
        return -1;
    }
    return tester.exitStatus() == QProcess::NormalExit ? tester.exitCode() : -1;
}

std::vector<protocol::RecordedText> ReadRecording(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    const QByteArray text = file.readAll();
    auto parsed = protocol::ParseRecording(std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
    EXPECT_TRUE(std::holds_alternative<std::vector<protocol::RecordedText>>(parsed)) << text.toStdString();
    return std::holds_alternative<std::vector<protocol::RecordedText>>(parsed)
               ? std::get<std::vector<protocol::RecordedText>>(parsed)
               : std::vector<protocol::RecordedText>{};
}

std::vector<double> SpacingMs(const std::vector<protocol::RecordedText>& entries)
{
    std::vector<double> spacing;
    for (std::size_t i = 1; i < entries.size(); ++i)
        spacing.push_back((entries[i].seconds - entries[i - 1].seconds) * 1000.0);
    return spacing;
}

} // namespace

// A board records five seconds of Actual Time; a second board takes the replay of that
// recording. Only the bytes and their order pass or fail: the spacing is a figure.
TEST(RecordAndReplay, TheSecondBoardTakesTheSameBytesInTheSameOrder)
{
    QTemporaryDir files;
    const QString recorded = files.filePath("console.rec");
    const QString replayed = files.filePath("replayed.rec");

    BoardProcess first;
    ASSERT_TRUE(first.Start({"--baud", "9600", "--record", recorded})) << first.Failure();
    EXPECT_EQ(RunTester(first, {"--port", first.Com(), "--baud", "9600", "--start", "actual-time", "--for", "5"}), 0);
    first.Pump(200);
    EXPECT_EQ(first.Interrupt(), 0);
    const std::vector<protocol::RecordedText> original = ReadRecording(recorded);
    ASSERT_GT(original.size(), 150u) << "five seconds at 25 ms";

    BoardProcess second;
    ASSERT_TRUE(second.Start({"--baud", "9600", "--record", replayed})) << second.Failure();
    // By datagram: the virtual line reads a tester's last line with the settings found when it
    // is read, and a tester that closes at once has put back the port's own by then.
    EXPECT_EQ(RunTester(second, {"--replay", recorded, "--udp", QStringLiteral("127.0.0.1:%1").arg(second.UdpPort())}),
              0);
    std::size_t taken = 0;
    second.WaitFor([&](const QJsonObject&) { return ++taken == original.size(); }, 30000);
    EXPECT_EQ(second.Interrupt(), 0);
    const std::vector<protocol::RecordedText> copy = ReadRecording(replayed);

    ASSERT_EQ(copy.size(), original.size());
    for (std::size_t i = 0; i < copy.size(); ++i)
        ASSERT_EQ(copy[i].bytes, original[i].bytes) << "entry " << i;

    std::vector<double> was = SpacingMs(original);
    std::vector<double> is = SpacingMs(copy);
    std::vector<double> error;
    for (std::size_t i = 0; i < was.size(); ++i)
        error.push_back(std::abs(is[i] - was[i]));
    const double errorMedian = protocol::Percentile(error, 0.5);
    const double errorP99 = protocol::Percentile(error, 0.99);
    const double wasMedian = protocol::Percentile(was, 0.5);
    const double isMedian = protocol::Percentile(is, 0.5);
    std::printf("replay of %zu lines: spacing median %.3f ms recorded, %.3f ms replayed; "
                "difference per line median %.3f ms, 99th percentile %.3f ms\n",
                copy.size(), wasMedian, isMedian, errorMedian, errorP99);
    RecordProperty("spacing_difference_median_ms", std::to_string(errorMedian));
}
