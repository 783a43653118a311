#include "engine/control/control_lines.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>

namespace ControlLines {

QString socketPath()
{
    return qEnvironmentVariable("KESTRUNE_SOCKET", QStringLiteral("/run/kestruned/control"));
}

bool LineReader::feed(const QByteArray& bytes)
{
    if (overflow_)
        return false;
    buffer_ += bytes;
    const qsizetype newline = buffer_.lastIndexOf('\n');
    // The tail after the last newline is one line still coming.
    overflow_ = buffer_.size() - (newline + 1) > MaxLine;
    return !overflow_;
}

std::optional<QByteArray> LineReader::next()
{
    const qsizetype newline = buffer_.indexOf('\n');
    if (overflow_ || newline < 0)
        return std::nullopt;
    if (newline > MaxLine) {
        overflow_ = true;
        return std::nullopt;
    }
    QByteArray line = buffer_.left(newline);
    buffer_.remove(0, newline + 1);
    return line;
}

QByteArray line(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

Outcome<Message> parse(const QByteArray& text, bool request)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return Outcome<Message>::failure(QStringLiteral("a line must be one JSON object"));
    const QJsonObject object = document.object();
    const double id = object.value(QStringLiteral("id")).toDouble(-1);
    if (id < 0 || id > 9007199254740992.0 || std::floor(id) != id)
        return Outcome<Message>::failure(QStringLiteral("a message needs an \"id\" that is a whole number from 0"));
    if (request && !object.value(QStringLiteral("op")).isString())
        return Outcome<Message>::failure(QStringLiteral("a request needs an \"op\""));
    return Outcome<Message>::success({qint64(id), object});
}

QJsonObject refusal(qint64 id, const QString& code, const QString& error)
{
    return {{QStringLiteral("id"), id}, {QStringLiteral("ok"), false}, {QStringLiteral("code"), code}, {QStringLiteral("error"), error}};
}

}  // namespace ControlLines
