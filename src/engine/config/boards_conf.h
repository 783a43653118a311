#pragma once

#include "engine/device/board_rules.h"
#include "engine/device/usb_library.h"

#include <QList>
#include <QString>

#include <array>

// One board of boards.conf: its name, how to know it, its relays' names, its
// safety rules and its pulse and start-up settings.
struct NamedBoard {
    enum class OnStart { Keep, Off, Restore };

    int line = 0;    // of its "[board NAME]"
    QString name;
    QString serial;  // empty: any serial
    QString port;    // empty: any port
    std::array<QString, 8> relays;  // the names of relays 1-8; empty: none
    BoardRules rules;
    std::array<int, 8> pulseMs{};   // relays 1-8; 0: not given
    OnStart onStart = OnStart::Keep;

    // Whether the device is this board: every identity given matches.
    bool matches(const DeviceInfo& device) const;
    // Relay 1-8 for a number or a relay's name; 0 for neither.
    int relay(const QString& numberOrName) const;
    // The name of relay 1-8, or its number when it has none.
    QString relayName(int relay) const;
};

// How long a pulse or a cycle of relay 1-8 lasts: givenMs when given (> 0),
// else the relay's pulse_ms on board (may be null), else the default pulse length.
int pulseLength(const NamedBoard* board, int relay, int givenMs);

// /etc/kestrune/boards.conf (or the file a front end is told to read): the
// boards and relays by name, the same for every front end. A file with any
// mistake is refused whole; a front end then switches nothing.
class BoardsConf {
public:
    inline static const QString DefaultFile = QStringLiteral("/etc/kestrune/boards.conf");

    // Reads path. A file that is not there is no error unless required
    // (named on a command line): then nothing is named and everything works
    // as without. Not there means its name does not exist in a folder that
    // exists and may be searched; a folder that cannot be searched, a
    // symbolic link to nothing or any failure to read refuses it.
    static BoardsConf load(const QString& path, bool required);
    // The file's content, read as path.
    static BoardsConf parse(const QString& path, const QByteArray& content);

    bool ok() const { return error.isEmpty(); }
    const NamedBoard* named(const QString& name) const;
    // The board the device is: the one entry matching it; null when none
    // does, or when two do (see refusal).
    const NamedBoard* board(const DeviceInfo& device) const;
    // Why the device is not served: two entries match it (one by serial,
    // another by port, say), named with their lines; empty when at most one.
    QString refusal(const DeviceInfo& device) const;

    QString file;               // the file read; empty when there was none
    QString error;              // "FILE:LINE: REASON"; empty when accepted
    QList<NamedBoard> boards;   // empty when refused

    // Whether text is a board or relay name: 1-32 of a-z, 0-9, _ and -,
    // not all digits.
    static bool validName(const QString& text);

private:
    QList<const NamedBoard*> matching(const DeviceInfo& device) const;
};
