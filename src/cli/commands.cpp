#include "cli/commands.h"

#include "engine/signal_watcher.h"
#include "engine/device/board_finder.h"
#include "engine/device/board_link.h"
#include "engine/device/board_lock.h"
#include "engine/device/relay_board.h"
#include "engine/program/board_player.h"
#include "engine/program/strict_program.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace cli {
namespace {

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
int choose(BoardLink& link, const BoardSelector& select)
{
    const BoardFinder::Result found = BoardFinder::find(link, select);
    if (!found.found())
        complain(found.error);
    return found.index;
}

// Opens the board in bit-bang mode; false (and the reason said) when it
// cannot be opened.
bool open(BoardLink& link, int index)
{
    if (link.open(index) == UsbLibrary::Ok)
        return true;
    const QString why = link.library().lastError();
    complain(why.isEmpty() ? QStringLiteral("board %1 cannot be opened: another program holds it, "
                                            "or it was pulled out")
                                 .arg(index + 1)
                           : why);
    link.close(index);
    return false;
}

// Takes the board's lock, waiting for another process that switches it
// (which has it claimed meanwhile), then opens it; null (and the reason said)
// when either fails. Held until the board is closed, it makes a whole
// command one switch.
std::unique_ptr<BoardLock> lockAndOpen(BoardLink& link, int index)
{
    auto lock = link.lock(index, BoardLock::WaitMs);
    if (!lock->held()) {
        complain(lock->error());
        return nullptr;
    }
    return open(link, index) ? std::move(lock) : nullptr;
}

int list(BoardLink& link, bool asJson)
{
    const QList<DeviceInfo> devices = link.list();
    if (asJson) {
        QJsonArray array;
        for (int index = 0; index < devices.size(); ++index) {
            const DeviceInfo& d = devices[index];
            array.append(QJsonObject{{QStringLiteral("board"), index + 1},
                                     {QStringLiteral("serial"), d.serial},
                                     {QStringLiteral("description"), d.description},
                                     {QStringLiteral("manufacturer"), d.manufacturer},
                                     {QStringLiteral("bus"), d.bus},
                                     {QStringLiteral("address"), d.address},
                                     {QStringLiteral("port"), d.port}});
        }
        print(json(QJsonDocument(array)));
        return 0;
    }
    QByteArray text;
    for (int index = 0; index < devices.size(); ++index)
        text += BoardFinder::line(index, devices[index]).toUtf8() + '\n';
    print(text);
    return 0;
}

int get(BoardLink& link, const Arguments& a)
{
    const int index = choose(link, a.select);
    if (index < 0)
        return 1;
    const QString serial = link.describe(index).value_or(DeviceInfo{}).serial;
    const auto lock = lockAndOpen(link, index);
    if (!lock)
        return 1;
    std::uint8_t pins = 0;
    const UsbLibrary::Status status = RelayBoard(link, index).read(pins);
    link.close(index);
    if (status != UsbLibrary::Ok)
        return fail(QStringLiteral("board %1: %2").arg(index + 1).arg(link.lastError()));
    const QByteArray pattern = RelayPattern::toText(pins);
    if (!a.json) {
        print(pattern + '\n');
        return 0;
    }
    QJsonArray relays;
    for (int relay = 1; relay <= 8; ++relay)
        relays.append(bool(pins & RelayPattern::bit(relay)));
    print(json(QJsonDocument(QJsonObject{{QStringLiteral("board"), index + 1},
                                         {QStringLiteral("serial"), serial},
                                         {QStringLiteral("pattern"), QString::fromLatin1(pattern)},
                                         {QStringLiteral("relays"), relays}})));
    return 0;
}

// set, on and off: read the pins, give the relays in mask the levels, write
// (break, dead time, make where an interlock asks), and hand the board back.
int setRelays(BoardLink& link, const BoardSelector& select, std::uint8_t mask, std::uint8_t levels)
{
    const int index = choose(link, select);
    const auto lock = index < 0 ? nullptr : lockAndOpen(link, index);
    if (!lock)
        return 1;
    RelayBoard relays(link, index);
    const UsbLibrary::Status status = relays.setRelays(mask, levels);
    const QString why = relays.error();
    link.close(index);
    if (status != UsbLibrary::Ok)
        return fail(QStringLiteral("board %1: %2").arg(index + 1).arg(why));
    return 0;
}

int play(BoardLink& link, const Arguments& a, SignalWatcher* watcher)
{
    StrictProgram::Result file = StrictProgram::read(a.file);
    if (!file.ok())
        return fail(file.message(a.file));
    // Each step takes the lock on its own; the open only waits for it.
    const int index = choose(link, a.select);
    if (index < 0 || !lockAndOpen(link, index))
        return 1;

    BoardPlayer player(link, index);
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
    if (error.isEmpty() && !a.quiet)
        complain(player.summary());

    // Off at the end, also after a signal; not on a board that stopped answering.
    if (RelayBoard relays(link, index); a.offAtEnd && status == 0 && relays.write(0) != UsbLibrary::Ok)
        status = fail(QStringLiteral("board %1: %2").arg(index + 1).arg(relays.error()));
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
    case Command::List:
        return list(link, a.json);
    case Command::Get:
        return get(link, a);
    case Command::Set:
        return setRelays(link, a.select, 0xFF, a.pattern);
    case Command::On:
        return setRelays(link, a.select, a.pattern, 0xFF);
    case Command::Off:
        return setRelays(link, a.select, a.pattern, 0x00);
    case Command::Play:
        break;
    }
    return play(link, a, watcher);
}

}  // namespace cli
