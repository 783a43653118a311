#include "cli/commands.h"

#include "cli/service_client.h"
#include "engine/signal_watcher.h"
#include "engine/control/control_lines.h"
#include "engine/config/boards_conf.h"
#include "engine/config/rules_source.h"
#include "engine/device/board_finder.h"
#include "engine/device/board_link.h"
#include "engine/device/board_lock.h"
#include "engine/device/holder_list.h"
#include "engine/device/relay_board.h"
#include "engine/device/board_timeline.h"
#include "engine/device/interlock.h"
#include "engine/program/board_player.h"
#include "engine/program/strict_program.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <optional>

namespace cli {
namespace {

// The board service when it answered, else null; and what to tell a user
// the direct path fails for a board it holds.
ServiceClient* service = nullptr;
QString serviceNote;

void print(const QByteArray& text)
{
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
    std::fflush(stdout);
}

int fail(const QString& message)
{
    complain(message);
    return 1;
}

QByteArray json(const QJsonDocument& document)
{
    return document.toJson(QJsonDocument::Compact) + '\n';
}

// The device index of the board a command addresses; -1 (and the reason
// said) when no single board matches.
int choose(BoardLink& link, const BoardSelector& select, const BoardsConf& conf)
{
    const BoardFinder::Result found = BoardFinder::find(link, select, &conf);
    if (!found.ok())
        complain(found.error);
    return found.value.value_or(-1);
}

// Opens the board in bit-bang mode; false (and the reason said) when it
// cannot be opened.
bool open(BoardLink& link, int index)
{
    if (link.open(index) == UsbLibrary::Ok)
        return true;
    const QString why = link.openError();
    complain(why.isEmpty() ? QStringLiteral("board %1 cannot be opened: another program holds it, "
                                            "or it was pulled out")
                                 .arg(index + 1)
                           : why);
    link.close(index);
    return false;
}

// The port of the board at index, by which the service knows it.
QString portOf(BoardLink& link, int index)
{
    return link.describe(index).value_or(DeviceInfo{}).port;
}

// Takes the board's lock, waiting for another process that switches it
// (which has it claimed meanwhile; who it is is said at once), then opens
// it; null (and the reason said) when either fails. Held until the board is
// closed, it makes a whole command one switch. A signal while it waits ends
// the command there, by that signal, before anything is switched.
std::unique_ptr<BoardLock> lockAndOpen(BoardLink& link, int index, SignalWatcher* watcher = nullptr)
{
    int signal = 0;
    const QMetaObject::Connection stop =
        watcher ? QObject::connect(watcher, &SignalWatcher::received, [&signal](int received) { signal = received; }) : QMetaObject::Connection();
    auto lock = link.lock(index, BoardLock::WaitMs, complain, [&signal] {
        QCoreApplication::processEvents();
        return signal != 0;
    });
    QObject::disconnect(stop);
    if (signal)
        SignalWatcher::dieBy(signal);
    const auto noteService = [&] {
        if (!serviceNote.isEmpty() && !HolderList::holderOf(portOf(link, index)).isEmpty())
            complain(serviceNote);
    };
    if (!lock->held()) {
        complain(lock->error());
        noteService();
        return nullptr;
    }
    if (open(link, index))
        return lock;
    noteService();
    return nullptr;
}

bool unheld(const QJsonObject& answer)
{
    return answer.value(QStringLiteral("code")).toString() == QLatin1String("unheld");
}

QString errorOf(const QJsonObject& message)
{
    return message.value(QStringLiteral("error")).toString();
}

// set, on, off, pulse and cycle through the service: its refusal or failure
// as the direct path words it; a signal finishes the request there (pending
// makes dropped, second edges now) and then ends the process by that
// signal, after a failure too when dieAfterFailure. Nothing when the
// service does not hold the board.
std::optional<int> switchThere(int index, QJsonObject request, SignalWatcher* watcher, bool dieAfterFailure)
{
    service->watch(watcher);
    const QJsonObject answer = service->request(request);
    if (unheld(answer))
        return std::nullopt;
    if (!answer.value(QStringLiteral("ok")).toBool())
        return fail(QStringLiteral("board %1: %2").arg(index + 1).arg(errorOf(answer)));
    const qint64 id = answer.value(QStringLiteral("id")).toInteger();
    const QJsonObject end = service->waitEnd(id, [id](int) {
        service->send({{QStringLiteral("op"), QStringLiteral("finish")}, {QStringLiteral("of"), id}});
    });
    const bool failed = end.value(QStringLiteral("event")).toString() != QLatin1String("done");
    const int status = failed ? fail(QStringLiteral("board %1: %2").arg(index + 1).arg(errorOf(end))) : 0;
    if (service->signal() && (!failed || dieAfterFailure))
        SignalWatcher::dieBy(service->signal());
    return status;
}

// How a command's writes ended: the signal that stopped it (0: none) and a
// timed write that failed.
struct Settled {
    int signal = 0;
    QString failure;
};

// Runs the event loop until nothing is pending on the timeline. A signal
// stops it: the pending makes are dropped (a stop never makes), stopping()
// runs, and the pending second edges are performed before it returns.
Settled settle(BoardTimeline& timeline, SignalWatcher* watcher, const std::function<void()>& stopping = {})
{
    Settled settled;
    const auto wait = [&] {
        QEventLoop loop;
        QObject::connect(&timeline, &BoardTimeline::becameIdle, &loop, &QEventLoop::quit);
        QObject::connect(&timeline, &BoardTimeline::writeFailed, &loop, [&](const QString& what) {
            settled.failure = what;
            loop.quit();
        });
        if (watcher && !settled.signal)
            QObject::connect(watcher, &SignalWatcher::received, &loop, [&](int received) {
                settled.signal = received;
                loop.quit();
            });
        if (!timeline.idle() && settled.failure.isEmpty())
            loop.exec();
        else
            loop.processEvents();  // a signal that came meanwhile
    };
    wait();
    if (settled.signal) {
        timeline.dropMakes();
        if (stopping)
            stopping();
        timeline.finish();
        wait();
    }
    return settled;
}

// A board's name, or null when boards.conf names it not.
QJsonValue nameOf(const NamedBoard* board)
{
    return board ? QJsonValue(board->name) : QJsonValue(QJsonValue::Null);
}

int list(BoardLink& link, bool asJson, const BoardsConf& conf)
{
    const QList<DeviceInfo> devices = link.list();
    if (asJson) {
        QJsonArray array;
        for (int index = 0; index < devices.size(); ++index) {
            const DeviceInfo& d = devices[index];
            const bool held = !HolderList::holderOf(d.port).isEmpty();
            array.append(QJsonObject{{QStringLiteral("board"), index + 1},
                                     {QStringLiteral("held_by"), held ? QJsonValue(QStringLiteral("kestruned")) : QJsonValue(QJsonValue::Null)},
                                     {QStringLiteral("serial"), d.serial},
                                     {QStringLiteral("description"), d.description},
                                     {QStringLiteral("manufacturer"), d.manufacturer},
                                     {QStringLiteral("bus"), d.bus},
                                     {QStringLiteral("address"), d.address},
                                     {QStringLiteral("port"), d.port},
                                     {QStringLiteral("name"), nameOf(conf.board(d))}});
        }
        print(json(QJsonDocument(array)));
        return 0;
    }
    QByteArray text;
    // A board the service holds: "held by kestruned" in a column after the name's.
    for (int index = 0; index < devices.size(); ++index) {
        const bool held = !HolderList::holderOf(devices[index].port).isEmpty();
        text += BoardFinder::line(index, devices[index], &conf).toUtf8() +
                (held ? QByteArray(conf.board(devices[index]) ? "" : "\t") + "\theld by kestruned" : QByteArray()) + '\n';
    }
    print(text);
    return 0;
}

int get(BoardLink& link, const Arguments& a, const BoardsConf& conf)
{
    const int index = choose(link, a.select, conf);
    if (index < 0)
        return 1;
    const DeviceInfo device = link.describe(index).value_or(DeviceInfo{});
    const NamedBoard* named = conf.board(device);
    std::uint8_t pins = 0;
    const QJsonObject there = service ? service->request({{QStringLiteral("op"), QStringLiteral("get")}, {QStringLiteral("port"), device.port}})
                                      : ControlLines::refusal(0, QStringLiteral("unheld"), {});
    if (!unheld(there)) {
        if (!there.value(QStringLiteral("ok")).toBool())
            return fail(QStringLiteral("board %1: %2").arg(index + 1).arg(errorOf(there)));
        pins = RelayPattern::fromText(there.value(QStringLiteral("pins")).toString().toLatin1()).value_or(0);
    } else {
        const auto lock = lockAndOpen(link, index);
        if (!lock)
            return 1;
        const UsbLibrary::Status status = RelayBoard(link, index).read(pins);
        link.close(index);
        if (status != UsbLibrary::Ok)
            return fail(QStringLiteral("board %1: %2").arg(index + 1).arg(link.lastError()));
    }
    const QByteArray pattern = RelayPattern::toText(pins);
    if (!a.json) {
        print(pattern + '\n');
        return 0;
    }
    QJsonArray relays;
    QJsonArray names;
    for (int relay = 1; relay <= 8; ++relay) {
        relays.append(bool(pins & RelayPattern::bit(relay)));
        const QString relayName = named ? named->relays[std::size_t(relay - 1)] : QString();
        names.append(relayName.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(relayName));
    }
    print(json(QJsonDocument(QJsonObject{{QStringLiteral("board"), index + 1},
                                         {QStringLiteral("serial"), device.serial},
                                         {QStringLiteral("name"), nameOf(named)},
                                         {QStringLiteral("pattern"), QString::fromLatin1(pattern)},
                                         {QStringLiteral("relays"), relays},
                                         {QStringLiteral("names"), names}})));
    return 0;
}

// The relays words name on the board at index (numbers, its relays' names
// in boards.conf, all) as a mask; nothing (and the reason said) for a name
// it does not have.
std::optional<std::uint8_t> relayMask(BoardLink& link, int index, const QStringList& words, const BoardsConf& conf)
{
    const NamedBoard* named = conf.board(link.describe(index).value_or(DeviceInfo{}));
    const NamedBoard unnamed;
    std::uint8_t mask = 0;
    for (const QString& word : words) {
        const int relay = (named ? named : &unnamed)->relay(word);
        if (word != QLatin1String("all") && relay == 0) {
            complain(named ? QStringLiteral("board %1 has no relay named %2").arg(named->name, word)
                           : QStringLiteral("board %1 has no name in boards.conf, so no relay named %2").arg(index + 1).arg(word));
            return std::nullopt;
        }
        mask |= word == QLatin1String("all") ? 0xFF : RelayPattern::bit(relay);
    }
    return mask;
}

// set, on and off: read the pins, give the relays in mask (or named by
// words) the levels, write (break, then the make once the dead time is up,
// where an interlock asks), and hand the board back.
int setRelays(BoardLink& link, const BoardSelector& select, const BoardsConf& conf, std::uint8_t mask,
              const QStringList& words, std::uint8_t levels, SignalWatcher* watcher)
{
    const int index = choose(link, select, conf);
    if (index < 0)
        return 1;
    if (!words.isEmpty()) {
        const auto named = relayMask(link, index, words, conf);
        if (!named)
            return 1;
        mask = *named;
    }
    if (service)
        if (const std::optional<int> status = switchThere(index, {{QStringLiteral("op"), QStringLiteral("set")}, {QStringLiteral("port"), portOf(link, index)},
                                                                  {QStringLiteral("mask"), mask}, {QStringLiteral("levels"), levels}},
                                                          watcher, false))
            return *status;
    const auto lock = lockAndOpen(link, index, watcher);
    if (!lock)
        return 1;
    BoardTimeline timeline(link, index);
    QString why = timeline.set(mask, levels);
    Settled settled;
    if (why.isEmpty())
        why = (settled = settle(timeline, watcher)).failure;
    link.close(index);
    if (!why.isEmpty())
        return fail(QStringLiteral("board %1: %2").arg(index + 1).arg(why));
    if (settled.signal)
        SignalWatcher::dieBy(settled.signal);
    return 0;
}

// pulse and cycle: the first edge now, the second when its time is up or a
// signal comes, whichever is first; then the board is handed back.
int pulse(BoardLink& link, const Arguments& a, const BoardsConf& conf, SignalWatcher* watcher)
{
    const int index = choose(link, a.select, conf);
    if (index < 0)
        return 1;
    const auto mask = relayMask(link, index, a.relays, conf);
    const NamedBoard* named = conf.board(link.describe(index).value_or(DeviceInfo{}));
    if (!mask)
        return 1;
    std::array<int, 8> ms{};
    for (int relay = 1; relay <= 8; ++relay)
        if (*mask & RelayPattern::bit(relay))
            ms[relay - 1] = pulseLength(named, relay, a.forMs);
    if (service) {
        QJsonArray lengths;
        for (const int length : ms)
            lengths.append(length);
        if (const std::optional<int> status = switchThere(index, {{QStringLiteral("op"), QStringLiteral("pulse")}, {QStringLiteral("port"), portOf(link, index)},
                                                                  {QStringLiteral("cycle"), a.command == Command::Cycle}, {QStringLiteral("ms"), lengths}},
                                                          watcher, true))
            return *status;
    }
    // The lock is held from the first edge to the last.
    const auto lock = lockAndOpen(link, index, watcher);
    if (!lock)
        return 1;
    BoardTimeline timeline(link, index);
    QString why = timeline.pulse(a.command == Command::Cycle, ms);
    Settled settled;
    if (why.isEmpty())
        why = (settled = settle(timeline, watcher)).failure;
    link.close(index);
    const int status = why.isEmpty() ? 0 : fail(QStringLiteral("board %1: %2").arg(index + 1).arg(why));
    if (settled.signal)
        SignalWatcher::dieBy(settled.signal);
    return status;
}

// play through the service: the rows in chunks that fit a line, each step
// printed as it begins, the summary at the end; a signal stops the program
// there (off at the end where asked) and then ends the process by it.
// Nothing when the service does not hold the board.
std::optional<int> playThere(int index, const QString& port, const Arguments& a, const std::vector<QByteArray>& rows, SignalWatcher* watcher)
{
    constexpr std::size_t chunk = 500;  // rows of at most 64 bytes: well within a line
    service->watch(watcher);
    qint64 id = 0;
    for (std::size_t from = 0; from == 0 || from < rows.size(); from += chunk) {
        QJsonArray part;
        for (std::size_t row = from; row < std::min(rows.size(), from + chunk); ++row)
            part.append(QString::fromLatin1(rows[row]));
        const bool more = from + chunk < rows.size();
        if (from == 0)
            id = service->send({{QStringLiteral("op"), QStringLiteral("play")}, {QStringLiteral("port"), port}, {QStringLiteral("tick"), a.tickMs},
                                {QStringLiteral("repeat"), a.repeat}, {QStringLiteral("off_at_end"), a.offAtEnd}, {QStringLiteral("steps"), !a.quiet},
                                {QStringLiteral("rows"), part}, {QStringLiteral("more"), more}});
        else
            service->send({{QStringLiteral("op"), QStringLiteral("rows")}, {QStringLiteral("of"), id}, {QStringLiteral("rows"), part}, {QStringLiteral("more"), more}});
    }
    const QJsonObject answer = service->answer(id);
    if (unheld(answer))
        return std::nullopt;
    if (!answer.value(QStringLiteral("ok")).toBool())
        return fail(errorOf(answer));
    const QJsonObject end = service->waitEnd(
        id, [id](int) { service->send({{QStringLiteral("op"), QStringLiteral("stop")}, {QStringLiteral("of"), id}}); },
        [](const QJsonObject& step) {
            print(QByteArray::number(step.value(QStringLiteral("row")).toInt()) + '\t' + step.value(QStringLiteral("pattern")).toString().toLatin1() +
                  '\t' + QByteArray::number(step.value(QStringLiteral("ms")).toInt()) + '\n');
        });
    const bool ended = end.value(QStringLiteral("event")).toString() == QLatin1String("end");
    const int status = ended && !end.contains(QStringLiteral("error")) ? 0 : fail(QStringLiteral("board %1 stopped answering: %2").arg(index + 1).arg(errorOf(end)));
    if (!a.quiet && end.contains(QStringLiteral("summary")))
        complain(end.value(QStringLiteral("summary")).toString());
    if (service->signal())
        SignalWatcher::dieBy(service->signal());
    return status;
}

int play(BoardLink& link, const Arguments& a, const BoardsConf& conf, SignalWatcher* watcher)
{
    StrictProgram::Result file = StrictProgram::read(a.file);
    if (!file.ok())
        return fail(file.message(a.file));
    const int index = choose(link, a.select, conf);
    if (index < 0)
        return 1;
    // Every row against the board's rules before the board is opened.
    const Outcome<BoardRules> rules = rulesFrom(conf)(link.describe(index).value_or(DeviceInfo{}));
    if (!rules.ok())
        return fail(rules.error);
    for (std::size_t row = 0; row < file.rows.size(); ++row)
        if (const QString why = Interlock::conflict(*rules.value, RelayPattern::fromText(file.rows[row].left(8)).value_or(0)); !why.isEmpty())
            return fail(QStringLiteral("%1:%2: %3").arg(a.file).arg(row + 1).arg(why));
    if (service)
        if (const std::optional<int> status = playThere(index, portOf(link, index), a, file.rows, watcher))
            return *status;
    // The lock is held from the first step to the last write.
    const auto lock = lockAndOpen(link, index, watcher);
    if (!lock)
        return 1;

    BoardTimeline timeline(link, index);
    BoardPlayer player(timeline);
    QEventLoop loop;
    bool over = false;
    int status = 0;
    int signal = 0;
    auto end = [&] {
        over = true;
        loop.quit();
    };
    QObject::connect(&player, &BoardPlayer::stepStarted, [&](int row, std::uint8_t pattern, int duration) {
        if (!a.quiet)
            print(QByteArray::number(row + 1) + '\t' + RelayPattern::toText(pattern) + '\t' +
                  QByteArray::number(duration) + '\n');
    });
    QObject::connect(&player, &BoardPlayer::stopped, &loop, end);
    QObject::connect(&player, &BoardPlayer::writeFailed, &loop, [&](const QString& what) {
        status = fail(QStringLiteral("board %1 stopped answering: %2").arg(index + 1).arg(what));
        end();
    });
    if (watcher)
        QObject::connect(watcher, &SignalWatcher::received, &loop, [&](int received) {
            signal = received;
            player.stop();
            end();
        });

    const QString error = player.play(std::move(file.rows), a.tickMs, a.repeat);
    if (!error.isEmpty())
        status = fail(error);
    else if (!over)
        loop.exec();
    // Off at the end, also after a signal (its pending make dropped); else a
    // make the last row left pending is written at its time.
    if (status == 0 && a.offAtEnd) {
        if (const QString why = timeline.set(0xFF, 0); !why.isEmpty())
            status = fail(QStringLiteral("board %1: %2").arg(index + 1).arg(why));
    }
    if (status == 0) {
        const Settled settled = settle(timeline, signal ? nullptr : watcher, [&] { player.stop(); });
        signal = signal ? signal : settled.signal;
        if (!settled.failure.isEmpty())
            status = fail(QStringLiteral("board %1: %2").arg(index + 1).arg(settled.failure));
    }
    if (error.isEmpty() && !a.quiet)
        complain(player.summary());
    link.close(index);
    if (signal != 0)
        SignalWatcher::dieBy(signal);
    return status;
}

}  // namespace

void complain(const QString& message)
{
    const QByteArray text = "kestrune-cli: " + message.toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stderr);
}

int run(const Arguments& a, BoardLink& link, SignalWatcher* watcher)
{
    switch (a.command) {
    case Command::Help:
        print(usage().toUtf8());
        return 0;
    case Command::Version:
        print("kestrune-cli " KESTRUNE_VERSION "\n");
        return 0;
    default:
        break;
    }
    // A boards.conf with a mistake stops every command: it may hold a safety rule.
    const BoardsConf conf = BoardsConf::load(a.boardsFile.isEmpty() ? BoardsConf::DefaultFile : a.boardsFile,
                                             !a.boardsFile.isEmpty());
    if (!conf.ok())
        return fail(conf.error);
    link.setRulesSource(rulesFrom(conf));
    // Through the board service first, unless told not to: its socket, or
    // the direct path of a user it does not let in, or of no service.
    ServiceClient client;
    if (a.command != Command::List && !a.direct) {
        const QString path = ControlLines::socketPath();
        switch (client.connect(path, 2000)) {
        case ServiceClient::Reach::Connected:
            service = &client;
            break;
        case ServiceClient::Reach::Denied:
            serviceNote = QStringLiteral("the board service switches it for the members of group plugdev, through its socket %1; this user may not use it").arg(path);
            break;
        case ServiceClient::Reach::Absent:
            serviceNote = QStringLiteral("the board service switches it for the members of group plugdev, through its socket %1, which does not answer").arg(path);
            break;
        }
    }
    switch (a.command) {
    case Command::List:
        return list(link, a.json, conf);
    case Command::Get:
        return get(link, a, conf);
    case Command::Set:
        return setRelays(link, a.select, conf, 0xFF, {}, a.pattern, watcher);
    case Command::On:
        return setRelays(link, a.select, conf, 0, a.relays, 0xFF, watcher);
    case Command::Off:
        return setRelays(link, a.select, conf, 0, a.relays, 0x00, watcher);
    case Command::Pulse:
    case Command::Cycle:
        return pulse(link, a, conf, watcher);
    default:
        break;
    }
    return play(link, a, conf, watcher);
}

}  // namespace cli
