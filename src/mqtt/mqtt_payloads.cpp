#include "mqtt/mqtt_payloads.h"

#include "engine/device/relay_board.h"
#include "engine/device/pulse_length.h"
#include "engine/program/strict_program.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cctype>
#include <cmath>

namespace MqttPayloads {

namespace {

bool plain(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-';
}

Parsed fail(QString why)
{
    return {std::nullopt, std::move(why)};
}

// The payload as a word: surrounding white space dropped, upper case.
QByteArray word(const QByteArray& payload)
{
    return payload.trimmed().toUpper();
}

Parsed relayCommand(QByteArray board, const QByteArray& number, const QByteArray& payload)
{
    if (number.size() != 1 || number[0] < '1' || number[0] > '8')
        return fail(QStringLiteral("there is no relay %1; relays are 1 to 8").arg(quoted(number)));
    RelayCommand command{number[0] - '0', Switch::Off};
    const QByteArray w = word(payload);
    const QList<QByteArray> words = w.simplified().split(' ');
    if (words.size() <= 2 && (words[0] == "PULSE" || words[0] == "CYCLE")) {
        command.action = words[0] == "PULSE" ? Switch::Pulse : Switch::Cycle;
        if (words.size() == 1)
            return {Command{std::move(board), command}, {}};
        bool whole = false;
        const qlonglong ms = words[1].size() <= 9 ? words[1].toLongLong(&whole) : 0;
        if (!whole || ms < 1 || ms > PulseLength::MaxMs || !std::isdigit(static_cast<unsigned char>(words[1][0])))
            return fail(QStringLiteral("%1: the length is 1 to %2 ms").arg(quoted(payload)).arg(PulseLength::MaxMs));
        command.ms = static_cast<int>(ms);
        return {Command{std::move(board), command}, {}};
    }
    if (w == "ON")
        command.action = Switch::On;
    else if (w == "TOGGLE")
        command.action = Switch::Toggle;
    else if (w != "OFF")
        return fail(QStringLiteral("%1 is not ON, OFF, TOGGLE, PULSE [MS] or CYCLE [MS]").arg(quoted(payload)));
    return {Command{std::move(board), command}, {}};
}

Parsed stateCommand(QByteArray board, const QByteArray& payload)
{
    const auto pattern = RelayPattern::fromText(payload.trimmed());
    if (!pattern)
        return fail(QStringLiteral("%1 is not a pattern of eight 0s and 1s").arg(quoted(payload)));
    return {Command{std::move(board), StateCommand{*pattern}}, {}};
}

Parsed controlCommand(QByteArray board, const QByteArray& payload)
{
    const QByteArray w = word(payload);
    ControlCommand command;
    if (w == "PAUSE")
        command.control = Control::Pause;
    else if (w == "RESUME")
        command.control = Control::Resume;
    else if (w != "STOP")
        return fail(QStringLiteral("%1 is not STOP, PAUSE or RESUME").arg(quoted(payload)));
    return {Command{std::move(board), command}, {}};
}

Parsed programCommand(QByteArray board, const QByteArray& payload)
{
    if (payload.size() > MaxProgramPayload)
        return fail(QStringLiteral("a program of %1 bytes is over the limit of %2")
                        .arg(payload.size())
                        .arg(MaxProgramPayload));
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError)
        return fail(QStringLiteral("the program is not valid JSON (%1 at offset %2)")
                        .arg(error.errorString())
                        .arg(error.offset));
    if (!document.isObject())
        return fail(QStringLiteral("the program is not a JSON object"));
    const QJsonObject object = document.object();
    ProgramCommand command;
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString key = it.key();
        const QJsonValue value = it.value();
        if (key == QLatin1String("program") && value.isString()) {
            StrictProgram::Result program = StrictProgram::parse(value.toString().toUtf8());
            if (!program.ok())
                return fail(QStringLiteral("program line %1: %2").arg(program.line).arg(program.reason));
            command.rows = std::move(program.rows);
        } else if (key == QLatin1String("tick_ms") && value.isDouble()) {
            const double ms = value.toDouble();
            if (ms != std::floor(ms) || ms < 1 || ms > 60000)
                return fail(QStringLiteral("tick_ms must be a whole number from 1 to 60000"));
            command.tickMs = static_cast<int>(ms);
        } else if (key == QLatin1String("repeat") && value.isBool()) {
            command.repeat = value.toBool();
        } else {
            return fail(QStringLiteral("unexpected member %1 in the program (expected \"program\" "
                                       "text, \"tick_ms\" number, \"repeat\" true/false)")
                            .arg(quoted(key.toUtf8())));
        }
    }
    if (!object.contains(QLatin1String("program")))
        return fail(QStringLiteral("the program has no \"program\" text"));
    return {Command{std::move(board), std::move(command)}, {}};
}

}  // namespace

QByteArray topicName(const QString& serial)
{
    QByteArray name = serial.toUtf8();
    for (char& c : name)
        if (!plain(c))
            c = '_';
    return name;
}

QString quoted(const QByteArray& bytes, qsizetype max)
{
    return quotedBytes(bytes, max);
}

Parsed parse(const Topics& topics, const QByteArray& topic, const QByteArray& payload)
{
    const QByteArray prefix = topics.base + '/';
    const QList<QByteArray> parts =
        topic.startsWith(prefix) ? topic.mid(prefix.size()).split('/') : QList<QByteArray>{};
    const auto is = [&](std::initializer_list<const char*> pattern) {
        if (parts.size() != static_cast<qsizetype>(pattern.size()) + 1)
            return false;
        qsizetype i = 1;
        for (const char* part : pattern) {
            if (part && parts[i] != part)
                return false;
            ++i;
        }
        return true;
    };
    if (parts.size() < 2 || parts[0].isEmpty())
        return fail(QStringLiteral("not a command topic"));
    QByteArray board = parts[0];
    if (is({"relay", nullptr, "set"}))
        return relayCommand(std::move(board), parts[2], payload);
    if (is({"state", "set"}))
        return stateCommand(std::move(board), payload);
    if (is({"program", "set"}))
        return programCommand(std::move(board), payload);
    if (is({"program", "control"}))
        return controlCommand(std::move(board), payload);
    return fail(QStringLiteral("not a command topic"));
}

QByteArray programState(const char* state, int row, int rows, const HeadlessSchedule::Figures& figures)
{
    const QJsonObject object{{QStringLiteral("state"), QLatin1String(state)},
                             {QStringLiteral("row"), row},
                             {QStringLiteral("rows"), rows},
                             {QStringLiteral("steps"), qint64(figures.steps)},
                             {QStringLiteral("late"), qint64(figures.late)},
                             {QStringLiteral("largest_late_ms"), double(figures.largest.count()) / 1e6}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray discoveryConfig(const Topics& topics, const QByteArray& name, const QByteArray& key,
                           int relay, const DeviceText& device)
{
    const auto availability = [](const QByteArray& topic) {
        return QJsonObject{{QStringLiteral("topic"), QString::fromUtf8(topic)},
                           {QStringLiteral("payload_available"), QStringLiteral("online")},
                           {QStringLiteral("payload_not_available"), QStringLiteral("offline")}};
    };
    const QString id = QStringLiteral("kestrune_%1_%2")
                           .arg(QString::fromUtf8(topicName(QString::fromUtf8(topics.id))), QString::fromUtf8(key));
    QJsonObject deviceObject{{QStringLiteral("identifiers"), QJsonArray{id}},
                             {QStringLiteral("name"), device.name.isEmpty() ? QStringLiteral("Relay board ") + QString::fromUtf8(name) : device.name}};
    if (!device.serial.isEmpty())
        deviceObject.insert(QStringLiteral("serial_number"), device.serial);
    if (!device.description.isEmpty())
        deviceObject.insert(QStringLiteral("model"), device.description);
    if (!device.manufacturer.isEmpty())
        deviceObject.insert(QStringLiteral("manufacturer"), device.manufacturer);
    const QJsonObject config{
        {QStringLiteral("unique_id"), id + QLatin1Char('_') + QString::number(relay)},
        {QStringLiteral("name"), device.relays[std::size_t(relay - 1)].isEmpty() ? QStringLiteral("Relay %1").arg(relay)
                                                                                  : device.relays[std::size_t(relay - 1)]},
        {QStringLiteral("command_topic"), QString::fromUtf8(topics.relay(name, relay) + "/set")},
        {QStringLiteral("state_topic"), QString::fromUtf8(topics.relay(name, relay))},
        {QStringLiteral("payload_on"), QStringLiteral("ON")},
        {QStringLiteral("payload_off"), QStringLiteral("OFF")},
        {QStringLiteral("qos"), 1},
        {QStringLiteral("availability"),
         QJsonArray{availability(topics.bridgeAvailability()),
                    availability(topics.board(name, "availability")), availability(topics.served(name))}},
        {QStringLiteral("availability_mode"), QStringLiteral("all")},
        {QStringLiteral("device"), deviceObject},
    };
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

QByteArray pulseButtonConfig(const Topics& topics, const QByteArray& name, const QByteArray& key, int relay,
                             const QString& relayName, const DeviceText& device)
{
    QJsonObject config = QJsonDocument::fromJson(discoveryConfig(topics, name, key, relay, device)).object();
    for (const char* field : {"state_topic", "payload_on", "payload_off"})
        config.remove(QLatin1String(field));
    config.insert(QStringLiteral("unique_id"), config.value(QStringLiteral("unique_id")).toString() + QStringLiteral("_pulse"));
    config.insert(QStringLiteral("name"), QStringLiteral("Pulse ") + relayName);
    config.insert(QStringLiteral("payload_press"), QStringLiteral("PULSE"));
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

}  // namespace MqttPayloads
