#pragma once

#include "engine/outcome.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// The board service's control socket speaks one JSON object a line each way.
// Every request carries a whole-number "id" and an "op"; its answer
// ({"id", "ok": true, ...} or {"id", "ok": false, "code", "error"}) and its
// events ({"id", "event", ...}) echo that id. A "hello" with the protocol
// version comes first. The codes of a refusal: "unheld" (the service does
// not hold that board), "refused" (the board's rules or the request's
// values), "busy", "gone" (the board was pulled out), "bad" (not a request)
// and "version".
namespace ControlLines {

inline constexpr int Version = 1;
inline constexpr qsizetype MaxLine = 64 * 1024;

// $KESTRUNE_SOCKET, or /run/kestruned/control.
QString socketPath();

// Cuts a byte stream into lines of at most MaxLine bytes.
class LineReader {
public:
    // Adds bytes; false once a line has run past MaxLine (what follows is
    // of no use then).
    bool feed(const QByteArray& bytes);
    // The next whole line without its newline, if one has come.
    std::optional<QByteArray> next();
    // Part of a line is waiting for the rest.
    bool partial() const { return !buffer_.isEmpty(); }

private:
    QByteArray buffer_;
    bool overflow_ = false;
};

// The object as a line.
QByteArray line(const QJsonObject& object);

// A line as a message: an object with a whole-number id from 0 to 2^53 and,
// when it is a request, a text op; else why not.
struct Message {
    qint64 id = 0;
    QJsonObject object;
    QString op() const { return object.value(QStringLiteral("op")).toString(); }
};
Outcome<Message> parse(const QByteArray& line, bool request);

// A refusal of request id, in the words a user would read.
QJsonObject refusal(qint64 id, const QString& code, const QString& error);

}  // namespace ControlLines
