#include "board/BoardEvent.h"

#include "protocol/LyraCommands.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace board;

namespace {

QJsonObject Parse(const std::string& json)
{
    QJsonParseError error;
    const auto document = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << json;
    return document.object();
}

} // namespace

TEST(BoardEvent, LineCarriesItsFieldsAndExactBytes)
{
    const std::string raw = "B 12C    01:02:03.456 7\r";
    const auto object = Parse(ToJson(LineEvent{Route::Udp, protocol::DecodeDisplayLine(raw), raw}));
    EXPECT_EQ(object["route"].toString(), "udp");
    EXPECT_EQ(object["address"].toString(), "B");
    EXPECT_EQ(object["start"].toInt(), 12);
    EXPECT_EQ(object["mode"].toString(), "C");
    EXPECT_EQ(object["time"].toInt(), 37234560);
    EXPECT_EQ(object["place"].toInt(), 7);
    EXPECT_EQ(object["raw"].toString().toLatin1().toStdString(), raw);

    const std::string blank(protocol::kBlank);
    const auto unaddressed = Parse(ToJson(LineEvent{Route::Serial, protocol::DecodeDisplayLine(blank), blank}));
    EXPECT_TRUE(unaddressed["address"].isNull());
    EXPECT_EQ(unaddressed["place"].toInt(), -1);
    EXPECT_EQ(unaddressed["route"].toString(), "serial");
}

TEST(BoardEvent, CommandKeepsControlAndHighBytesIntact)
{
    const std::string raw = protocol::TimeoutCommand(42);
    const std::string json = ToJson(CommandEvent{Route::Serial, {LyraCommand::Kind::Timeout, 0, 42}, raw});
    EXPECT_EQ(json.find('\x1b'), std::string::npos) << "control bytes must be escaped";
    EXPECT_EQ(json.find('\n'), std::string::npos) << "one object per line";
    auto object = Parse(json);
    EXPECT_EQ(object["command"].toString(), "timeout");
    EXPECT_EQ(object["value"].toInt(), 42);
    EXPECT_FALSE(object.contains("register"));
    EXPECT_EQ(object["raw"].toString().toLatin1().toStdString(), raw);

    std::string noisy = "\xff\x80\"\\";
    noisy += protocol::ClockRegisterCommands({2026, 12, 7, 9, 5, 3})[6];
    object = Parse(ToJson(CommandEvent{Route::Udp, {LyraCommand::Kind::ClockRegister, 6, 26}, noisy}));
    EXPECT_EQ(object["command"].toString(), "clock");
    EXPECT_EQ(object["register"].toInt(), 6);
    EXPECT_EQ(object["raw"].toString().toLatin1().toStdString(), noisy);
}
