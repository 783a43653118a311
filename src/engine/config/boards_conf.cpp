#include "engine/config/boards_conf.h"

#include "engine/config/ini_file.h"
#include "engine/device/pulse_length.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

namespace {

constexpr int RelayCount = 8;

struct Refusal {
    int line;
    QString reason;
};

// The relay number after "prefix." in key (relay.N, pulse_ms.N): 1-8; 0
// when N is a plain number out of range, -2 when it is not written as a
// plain number (01, +1, " 1"); -1 when key has another form.
int keyedRelay(const QString& key, QLatin1String prefix)
{
    if (!key.startsWith(prefix) || key.size() <= prefix.size() || key[prefix.size()] != QLatin1Char('.'))
        return -1;
    static const QRegularExpression plain(QStringLiteral("^[1-9][0-9]{0,8}$"));
    const QString n = key.mid(prefix.size() + 1);
    if (!plain.match(n).hasMatch())
        return -2;
    return n.size() == 1 && n[0] <= QLatin1Char('8') ? n[0].digitValue() : 0;
}

std::optional<int> number(const QString& text, int low, int high)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    const int value = text.toInt();
    return value >= low && value <= high ? std::optional(value) : std::nullopt;
}

// "7 8, 3 4 5": relays by number or name, resolved once the whole section
// is read (a name may be given below).
std::optional<Refusal> interlocks(NamedBoard& board, int line, const QString& text)
{
    std::set<int> seen;
    for (const QString& group : text.split(QLatin1Char(','))) {
        std::set<int> inGroup;
        const QStringList members = group.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        if (members.size() < 2)
            return Refusal{line, QStringLiteral("an interlock group needs two relays or more: \"%1\"").arg(group.trimmed())};
        QList<int> relays;
        for (const QString& member : members) {
            const int relay = board.relay(member);
            if (relay == 0)
                return Refusal{line, QStringLiteral("board %1 has no relay \"%2\"").arg(board.name, member)};
            if (!inGroup.insert(relay).second)
                return Refusal{line, QStringLiteral("the interlock group \"%1\" names relay %2 twice").arg(group.simplified()).arg(relay)};
            if (!seen.insert(relay).second)
                return Refusal{line, QStringLiteral("relay %1 is in two interlock groups").arg(member)};
            relays.append(relay);
        }
        board.rules.interlocks.append(relays);
    }
    return std::nullopt;
}

// One "[board NAME]" section into board; the first mistake in it, if any.
std::optional<Refusal> readBoard(const IniFile::Section& section, NamedBoard& board)
{
    board.line = section.line;
    board.name = section.name.mid(int(sizeof("board")) - 1).trimmed();
    if (!section.name.startsWith(QLatin1String("board ")))
        return Refusal{section.line, QStringLiteral("unknown section [%1]; a section is [board NAME]").arg(section.name)};
    if (!BoardsConf::validName(board.name))
        return Refusal{section.line, QStringLiteral("bad board name \"%1\": 1-32 of a-z, 0-9, _ and -, not all digits").arg(board.name)};
    std::set<QString> keys;
    const IniFile::Entry* interlock = nullptr;
    for (const IniFile::Entry& e : section.entries) {
        if (!keys.insert(e.key).second)
            return Refusal{e.line, QStringLiteral("%1 is given twice").arg(e.key)};
        const int relayKey = keyedRelay(e.key, QLatin1String("relay"));
        const int pulseKey = keyedRelay(e.key, QLatin1String("pulse_ms"));
        if (relayKey == 0 || pulseKey == 0)
            return Refusal{e.line, QStringLiteral("%1: a relay is 1 to 8").arg(e.key)};
        if (relayKey == -2 || pulseKey == -2)
            return Refusal{e.line, QStringLiteral("%1: a relay is written as one digit, %2.1 to %2.8")
                                       .arg(e.key, relayKey == -2 ? QStringLiteral("relay") : QStringLiteral("pulse_ms"))};
        if (relayKey > 0) {
            if (!BoardsConf::validName(e.value) || e.value == QLatin1String("all"))
                return Refusal{e.line, QStringLiteral("bad relay name \"%1\": 1-32 of a-z, 0-9, _ and -, not all digits, not \"all\"").arg(e.value)};
            if (std::find(board.relays.begin(), board.relays.end(), e.value) != board.relays.end())
                return Refusal{e.line, QStringLiteral("relay name %1 is used twice").arg(e.value)};
            board.relays[std::size_t(relayKey - 1)] = e.value;
        } else if (pulseKey > 0) {
            const auto ms = number(e.value, 1, PulseLength::MaxMs);
            if (!ms)
                return Refusal{e.line, QStringLiteral("%1 must be 1 to %2 milliseconds").arg(e.key).arg(PulseLength::MaxMs)};
            board.pulseMs[std::size_t(pulseKey - 1)] = *ms;
        } else if (e.key == QLatin1String("serial") || e.key == QLatin1String("port")) {
            static const QRegularExpression portForm(QStringLiteral("^[0-9]{1,3}-[0-9]{1,3}(\\.[0-9]{1,3}){0,6}$"));
            if (e.value.isEmpty() || (e.key == QLatin1String("port") && !portForm.match(e.value).hasMatch()))
                return Refusal{e.line, e.key == QLatin1String("port") ? QStringLiteral("a port is a bus and its port path, e.g. 1-1.2")
                                                                       : QStringLiteral("the serial is empty")};
            (e.key == QLatin1String("port") ? board.port : board.serial) = e.value;
        } else if (e.key == QLatin1String("interlock")) {
            interlock = &e;
        } else if (e.key == QLatin1String("dead_time_ms")) {
            const auto ms = number(e.value, 0, 10000);
            if (!ms)
                return Refusal{e.line, QStringLiteral("dead_time_ms must be 0 to 10000")};
            board.rules.deadTimeMs = *ms;
        } else if (e.key == QLatin1String("invert")) {
            const auto invert = IniFile::truth(e.value);
            if (!invert)
                return Refusal{e.line, QStringLiteral("invert must be yes or no")};
            board.rules.invert = *invert;
        } else if (e.key == QLatin1String("on_start")) {
            const QStringList modes = {QStringLiteral("keep"), QStringLiteral("off"), QStringLiteral("restore")};
            if (!modes.contains(e.value))
                return Refusal{e.line, QStringLiteral("on_start must be keep, off or restore")};
            board.onStart = NamedBoard::OnStart(modes.indexOf(e.value));
        } else {
            return Refusal{e.line, QStringLiteral("unknown key \"%1\"").arg(e.key)};
        }
    }
    if (board.serial.isEmpty() && board.port.isEmpty())
        return Refusal{section.line, QStringLiteral("board %1 has neither serial nor port").arg(board.name)};
    if (interlock)
        return interlocks(board, interlock->line, interlock->value);
    return std::nullopt;
}

// Whether two entries can only be one board: they give the same identity
// (each gives a serial or a port, or it is refused before this).
bool sameBoard(const NamedBoard& a, const NamedBoard& b)
{
    return a.serial == b.serial && a.port == b.port;
}

}  // namespace

bool NamedBoard::matches(const DeviceInfo& device) const
{
    return (serial.isEmpty() || device.serial == serial) && (port.isEmpty() || device.port == port) &&
           !(serial.isEmpty() && port.isEmpty());
}

int NamedBoard::relay(const QString& numberOrName) const
{
    if (const auto n = number(numberOrName, 1, RelayCount))
        return *n;
    if (numberOrName.isEmpty())
        return 0;
    const auto it = std::find(relays.begin(), relays.end(), numberOrName);
    return it == relays.end() ? 0 : int(it - relays.begin()) + 1;
}

QString NamedBoard::relayName(int relay) const
{
    const QString& name = relays[std::size_t(relay - 1)];
    return name.isEmpty() ? QString::number(relay) : name;
}

bool BoardsConf::validName(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^[a-z0-9_-]{1,32}$"));
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    return form.match(text).hasMatch() && !digits.match(text).hasMatch();
}

BoardsConf BoardsConf::load(const QString& path, bool required)
{
    const IniFile::FileContent read = IniFile::read(path);
    if (read.error.isEmpty())
        return parse(path, read.content);
    BoardsConf conf;
    const std::optional<QString> why = required ? std::optional(QString()) : IniFile::notAbsent(path);
    if (why) {
        conf.file = path;
        conf.error = why->isEmpty() ? read.error : QStringLiteral("cannot read %1: %2").arg(path, *why);
    }
    return conf;
}

BoardsConf BoardsConf::parse(const QString& path, const QByteArray& content)
{
    BoardsConf conf;
    conf.file = path;
    const IniFile::Result ini = IniFile::parse(content);
    std::optional<Refusal> refusal;
    if (!ini.sections.first().entries.isEmpty())
        refusal = Refusal{ini.sections.first().entries.first().line, QStringLiteral("a key outside [board NAME]")};
    for (qsizetype s = 1; !refusal && s < ini.sections.size(); ++s) {
        NamedBoard board;
        refusal = readBoard(ini.sections[s], board);
        for (qsizetype o = 0; !refusal && o < conf.boards.size(); ++o) {
            const NamedBoard& other = conf.boards[o];
            if (other.name == board.name)
                refusal = Refusal{board.line, QStringLiteral("board name %1 is used twice").arg(board.name)};
            else if (sameBoard(other, board))
                refusal = Refusal{board.line, QStringLiteral("board %1 is board %2 again (line %3)").arg(board.name, other.name).arg(other.line)};
        }
        conf.boards.append(board);
    }
    // A line of neither form refuses the file unless an earlier line already did.
    if (ini.errorLine > 0 && (!refusal || refusal->line > ini.errorLine))
        refusal = Refusal{ini.errorLine, QStringLiteral("expected [section] or key = value")};
    if (refusal) {
        conf.error = QStringLiteral("%1:%2: %3").arg(path).arg(refusal->line).arg(refusal->reason);
        conf.boards.clear();
    }
    return conf;
}

const NamedBoard* BoardsConf::named(const QString& name) const
{
    for (const NamedBoard& b : boards)
        if (b.name == name)
            return &b;
    return nullptr;
}

QList<const NamedBoard*> BoardsConf::matching(const DeviceInfo& device) const
{
    QList<const NamedBoard*> found;
    for (const NamedBoard& b : boards)
        if (b.matches(device))
            found.append(&b);
    return found;
}

const NamedBoard* BoardsConf::board(const DeviceInfo& device) const
{
    const QList<const NamedBoard*> found = matching(device);
    return found.size() == 1 ? found.first() : nullptr;
}

QString BoardsConf::refusal(const DeviceInfo& device) const
{
    const QList<const NamedBoard*> found = matching(device);
    if (found.size() < 2)
        return {};
    QStringList sections;
    for (const NamedBoard* b : found)
        sections += QStringLiteral("[board %1] (line %2)").arg(b->name).arg(b->line);
    const QString last = sections.takeLast();
    return QStringLiteral("%1: %2 is matched by %3 and %4; a device may match one section only")
        .arg(file,
             device.serial.isEmpty() ? QStringLiteral("the board at port %1").arg(device.port)
                                     : QStringLiteral("board %1 (port %2)").arg(printableText(device.serial), device.port),
             sections.join(QStringLiteral(", ")), last);
}

int pulseLength(const NamedBoard* board, int relay, int givenMs)
{
    if (givenMs > 0)
        return givenMs;
    const int own = board ? board->pulseMs[static_cast<std::size_t>(relay - 1)] : 0;
    return own > 0 ? own : PulseLength::DefaultMs;
}
