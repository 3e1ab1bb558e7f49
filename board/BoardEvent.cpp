#include "BoardEvent.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace board {
namespace {

QString Bytes(const std::string& raw)
{
    return QString::fromLatin1(raw.data(), static_cast<qsizetype>(raw.size()));
}

std::string Compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

} // namespace

const char* RouteName(Route route)
{
    return route == Route::Serial ? "serial" : "udp";
}

const char* KindName(LyraCommand::Kind kind)
{
    switch (kind) {
    case LyraCommand::Kind::Brightness: return "brightness";
    case LyraCommand::Kind::Timeout: return "timeout";
    case LyraCommand::Kind::ClockRegister: return "clock";
    }
    return "";
}

std::string ToJson(const LineEvent& event)
{
    const auto& f = event.fields;
    QJsonObject object{
        {"route", RouteName(event.route)},
        {"address", f.Address == ' ' ? QJsonValue() : QJsonValue(QString(QChar::fromLatin1(f.Address)))},
        {"start", f.StartNumber},
        {"mode", QString(QChar::fromLatin1(f.Mode))},
        {"time", f.Time},
        {"place", f.Place},
        {"raw", Bytes(event.raw)},
        {"shown", event.shown},
    };
    return Compact(object);
}

std::string ToJson(const CommandEvent& event)
{
    QJsonObject object{
        {"route", RouteName(event.route)},
        {"command", KindName(event.command.kind)},
        {"value", event.command.value},
        {"raw", Bytes(event.raw)},
    };
    if (event.command.kind == LyraCommand::Kind::ClockRegister)
        object.insert("register", event.command.reg);
    return Compact(object);
}

} // namespace board
