// The real marqtest, offscreen and preset by its command line, talking to the real marqboard
// over the virtual serial line and over UDP; the board's JSON must show what the tester sent.

#include "process/BoardProcess.h"
#include "protocol/DisplayLine.h"

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
