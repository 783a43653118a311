#include "cli/arguments.h"

#include "engine/config/boards_conf.h"
#include "engine/device/relay_board.h"
#include "engine/device/pulse_length.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <algorithm>
#include <map>
#include <set>

namespace cli {
namespace {

const std::map<QString, Command> commands = {
    {QStringLiteral("list"), Command::List}, {QStringLiteral("get"), Command::Get},
    {QStringLiteral("set"), Command::Set},   {QStringLiteral("on"), Command::On},
    {QStringLiteral("off"), Command::Off},   {QStringLiteral("play"), Command::Play},
    {QStringLiteral("pulse"), Command::Pulse}, {QStringLiteral("cycle"), Command::Cycle},
};

// The options each command takes besides --help and --version.
std::set<QString> optionsOf(Command command)
{
    const std::set<QString> select = {QStringLiteral("board"), QStringLiteral("serial"),
                                      QStringLiteral("port"), QStringLiteral("name")};
    std::set<QString> options;
    if (command != Command::List)
        options = select;
    options.insert(QStringLiteral("boards"));
    if (command != Command::List)
        options.insert(QStringLiteral("direct"));
    if (command == Command::List || command == Command::Get)
        options.insert(QStringLiteral("json"));
    if (command == Command::Pulse || command == Command::Cycle)
        options.insert(QStringLiteral("for"));
    if (command == Command::Play)
        options.insert({QStringLiteral("tick"), QStringLiteral("repeat"), QStringLiteral("off-at-end"),
                        QStringLiteral("quiet")});
    return options;
}

// A decimal number of at most nine digits, or nothing.
std::optional<int> number(const QString& text)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    return text.toInt();
}

// Relays 1 to 8, "all", or what can be a relay's name in boards.conf.
bool relayWords(const QStringList& words)
{
    return std::all_of(words.begin(), words.end(), [](const QString& word) {
        const auto relay = number(word);
        return relay ? *relay >= 1 && *relay <= 8 : BoardsConf::validName(word);
    });
}

Parsed usageError(const QString& error)
{
    return {std::nullopt, error};
}

}  // namespace

QString usage()
{
    return QStringLiteral(
        "Usage:\n"
        "  kestrune-cli list [--json] [--boards FILE]\n"
        "  kestrune-cli get  [SELECT] [--json]\n"
        "  kestrune-cli set  [SELECT] PATTERN\n"
        "  kestrune-cli on   [SELECT] RELAY...\n"
        "  kestrune-cli off  [SELECT] RELAY...\n"
        "  kestrune-cli pulse [SELECT] RELAY... [--for DURATION]\n"
        "  kestrune-cli cycle [SELECT] RELAY... [--for DURATION]\n"
        "  kestrune-cli play [SELECT] FILE [--tick MS] [--repeat] [--off-at-end] [--quiet]\n"
        "  kestrune-cli --help | --version\n"
        "\n"
        "SELECT   --board N (1-based, as in \"Relay Board N\") | --serial SERIAL | --port BUS-PORTS (e.g. 1-1.2)\n"
        "         | --name NAME (a board named in boards.conf)\n"
        "PATTERN  eight characters 0 or 1, relay 1 first, as in a program row: 10100000\n"
        "RELAY    1 to 8, a relay's name in boards.conf, or all\n"
        "MS       1 to 60000 milliseconds per tick; default 1\n"
        "DURATION a whole number and ms, s, m or h: 500ms, 2s, 1m; at most 24h;\n"
        "         default each relay's pulse_ms, else 1s\n"
        "FILE     one row a line: PATTERN, '-' and 0 to 9999 ticks: 10100000-15\n"
        "\n"
        "Every command takes --boards FILE: the boards.conf to read instead of\n"
        "/etc/kestrune/boards.conf. A file with a mistake refuses every command.\n"
        "A board that the board service kestruned holds is switched through its\n"
        "socket (/run/kestruned/control, or $KESTRUNE_SOCKET); --direct never asks\n"
        "the service and opens the board itself.\n"
        "Without SELECT the one attached board is used. Exit status: 0 success,\n"
        "1 failure, 2 usage error. pulse switches on, waits and switches off; cycle\n"
        "switches off, waits and switches on. play ended by SIGINT, SIGTERM or SIGHUP\n"
        "stops cleanly, a pulse or cycle so ended performs its second edge first; then\n"
        "each dies by that signal. SIGKILL leaves a pulse's relay on, a cycle's off,\n"
        "unless the board service does the pulse: it ends it on time.\n"
        "\n"
        "play keeps time by the clock: steps begin a whole number of ticks after the\n"
        "start, and steps whose time passed while the process was held up are written\n"
        "at once, in order. It prints a line per step and, on stderr at the end, the\n"
        "steps, how many were written late and the largest lateness; --quiet prints\n"
        "neither.\n");
}

Parsed parse(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.addOptions({
        {{QStringLiteral("h"), QStringLiteral("help")}, {}},
        {QStringLiteral("version"), {}},
        {QStringLiteral("json"), {}},
        {QStringLiteral("board"), {}, QStringLiteral("N")},
        {QStringLiteral("serial"), {}, QStringLiteral("SERIAL")},
        {QStringLiteral("port"), {}, QStringLiteral("BUS-PORTS")},
        {QStringLiteral("name"), {}, QStringLiteral("NAME")},
        {QStringLiteral("boards"), {}, QStringLiteral("FILE")},
        {QStringLiteral("tick"), {}, QStringLiteral("MS")},
        {QStringLiteral("repeat"), {}},
        {QStringLiteral("off-at-end"), {}},
        {QStringLiteral("quiet"), {}},
        {QStringLiteral("for"), {}, QStringLiteral("DURATION")},
        {QStringLiteral("direct"), {}},
    });
    if (!parser.parse(arguments)) {
        QString error = parser.errorText();  // "Unknown option 'x'."
        if (error.endsWith(u'.'))
            error.chop(1);
        return usageError(error.left(1).toLower() + error.mid(1));
    }

    Arguments parsed;
    if (parser.isSet(QStringLiteral("help")))
        return {parsed, {}};
    if (parser.isSet(QStringLiteral("version"))) {
        parsed.command = Command::Version;
        return {parsed, {}};
    }

    QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const QString word = words.takeFirst();
    const auto known = commands.find(word);
    if (known == commands.end())
        return usageError(QStringLiteral("unknown command '%1'").arg(word));
    parsed.command = known->second;

    const std::set<QString> allowed = optionsOf(parsed.command);
    for (const QString& name : parser.optionNames()) {
        const QString longName = name == QStringLiteral("h") ? QStringLiteral("help") : name;
        if (!allowed.count(longName))
            return usageError(QStringLiteral("--%1 does not go with %2").arg(longName, known->first));
        if (parser.values(name).size() > 1)
            return usageError(QStringLiteral("--%1 is given more than once").arg(longName));
    }

    const QString board = parser.value(QStringLiteral("board"));
    parsed.select.serial = parser.value(QStringLiteral("serial"));
    parsed.select.port = parser.value(QStringLiteral("port"));
    parsed.select.name = parser.value(QStringLiteral("name"));
    parsed.boardsFile = parser.value(QStringLiteral("boards"));
    const int chosen = int(parser.isSet(QStringLiteral("board"))) + int(parser.isSet(QStringLiteral("serial"))) +
                       int(parser.isSet(QStringLiteral("port"))) + int(parser.isSet(QStringLiteral("name")));
    if (chosen > 1)
        return usageError(QStringLiteral("choose the board by one of --board, --serial, --port and --name"));
    if (parser.isSet(QStringLiteral("board"))) {
        const auto n = number(board);
        if (!n || *n < 1)
            return usageError(QStringLiteral("the board number must be 1 or more, not '%1'").arg(board));
        parsed.select.number = *n;
    }
    if ((parser.isSet(QStringLiteral("serial")) && parsed.select.serial.isEmpty()) ||
        (parser.isSet(QStringLiteral("port")) && parsed.select.port.isEmpty()) ||
        (parser.isSet(QStringLiteral("name")) && parsed.select.name.isEmpty()))
        return usageError(QStringLiteral("an empty serial number, port or name names no board"));
    if (parser.isSet(QStringLiteral("boards")) && parsed.boardsFile.isEmpty())
        return usageError(QStringLiteral("--boards needs a file"));

    parsed.json = parser.isSet(QStringLiteral("json"));
    parsed.repeat = parser.isSet(QStringLiteral("repeat"));
    parsed.offAtEnd = parser.isSet(QStringLiteral("off-at-end"));
    parsed.quiet = parser.isSet(QStringLiteral("quiet"));
    parsed.direct = parser.isSet(QStringLiteral("direct"));
    if (parser.isSet(QStringLiteral("tick"))) {
        const QString tick = parser.value(QStringLiteral("tick"));
        const auto ms = number(tick);
        if (!ms || *ms < 1 || *ms > 60000)
            return usageError(QStringLiteral("the tick must be 1 to 60000 ms, not '%1'").arg(tick));
        parsed.tickMs = *ms;
    }

    if (parser.isSet(QStringLiteral("for"))) {
        const QString length = parser.value(QStringLiteral("for"));
        const auto ms = PulseLength::parse(length);
        if (!ms)
            return usageError(
                QStringLiteral("a DURATION is 1ms to 24h, as 500ms, 2s or 1m, not '%1'").arg(length));
        parsed.forMs = *ms;
    }

    switch (parsed.command) {
    case Command::List:
    case Command::Get:
        if (!words.isEmpty())
            return usageError(QStringLiteral("%1 takes no argument '%2'").arg(known->first, words.first()));
        break;
    case Command::Set: {
        if (words.size() != 1)
            return usageError(QStringLiteral("set takes one PATTERN, eight characters 0 or 1"));
        const auto pattern = RelayPattern::fromText(words.first().toLatin1());
        if (!pattern)
            return usageError(
                QStringLiteral("'%1' is not a PATTERN: eight characters 0 or 1, relay 1 first").arg(words.first()));
        parsed.pattern = *pattern;
        break;
    }
    case Command::On:
    case Command::Off:
    case Command::Pulse:
    case Command::Cycle: {
        if (words.isEmpty())
            return usageError(QStringLiteral("%1 takes one or more RELAY: 1 to 8, a name, or all").arg(known->first));
        if (!relayWords(words))
            return usageError(QStringLiteral("a RELAY is 1 to 8, a relay's name, or all: '%1'").arg(words.join(u' ')));
        parsed.relays = words;
        break;
    }
    case Command::Play:
        if (words.size() != 1)
            return usageError(QStringLiteral("play takes one FILE"));
        parsed.file = words.first();
        break;
    case Command::Help:
    case Command::Version:
        break;
    }
    return {parsed, {}};
}

}  // namespace cli
