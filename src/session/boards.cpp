// Board discovery and selection, and the relay state byte with its write
// and read-back.
#include "session/window_session.h"

#include "engine/device/relay_board.h"

#include <algorithm>

namespace {

// The list entry of board n (1-35): "Relay Board" and three blanks, with the
// board number written over it from the thirteenth character on.
QString boardEntryText(int n)
{
    QString text = QStringLiteral("Relay Board   ");
    const QString digits = QString::number(n);
    text.replace(12, digits.size(), digits);
    return text;
}

QString detailsOf(const DeviceInfo& info, const NamedBoard* named)
{
    QStringList lines;
    lines << QStringLiteral("Serial number: %1")
                 .arg(info.serial.isEmpty() ? QStringLiteral("(none)") : printableText(info.serial)) +
                 (named ? QStringLiteral("   Name: %1").arg(named->name) : QString());
    if (!info.description.isEmpty())
        lines << printableText(info.description);
    if (!info.port.isEmpty())
        lines << QStringLiteral("Port: %1").arg(info.port);
    return lines.join(QLatin1Char('\n'));
}

// A board as the strip names it: by serial number and port.
QString boardName(const DeviceInfo& device)
{
    return device.serial.isEmpty() ? QStringLiteral("the board at port %1").arg(device.port)
                                   : QStringLiteral("board %1 (port %2)").arg(printableText(device.serial), device.port);
}

}  // namespace

void WindowSession::discoverBoards()
{
    const bool picked = boardIndex >= 0;
    boardEntries.clear();
    boardIndex = -1;
    const int count = link.discover();
    if (count == 0) {
        boardText = QStringLiteral("No Boards Found");
        emit changed(BoardList);
        if (followed && !boardLost)
            loseBoard(QStringLiteral("Board not found ! %1 is gone: pick a board").arg(boardName(*followed)));
        else
            setStatus(false, QStringLiteral("Board not found !"));
        return;
    }
    // The table has room for the first 35 boards; those are listed, each
    // opened again in bit-bang mode, unless boards.conf was refused: then
    // none is touched. A device two sections match is refused by name. Every
    // slot is let go of first, so that a board now listed at another place
    // is free to open there.
    link.closeAll();
    const int listed = std::min(count, BoardLink::SlotCount);
    for (int n = 1; n <= listed; ++n) {
        if (boards.ok() && link.open(n - 1) != UsbLibrary::Ok && !boards.refusal(*link.describe(n - 1)).isEmpty())
            emit errorRaised(link.openError());
        const QString text = listed == 1 ? QStringLiteral("Relay Board 1") : boardEntryText(n);
        const DeviceInfo info = link.describe(n - 1).value_or(DeviceInfo{});
        boardEntries.append({text, detailsOf(info, boards.board(info)), info,
                             link.isOpen(n - 1) ? QString() : link.openError()});
    }
    // Discovery picks no entry; the box shows the first board's name, or
    // the entry of the board followed where it is listed now.
    boardText = QStringLiteral("Relay Board 1");
    if (followed && !boardLost) {
        const auto at = std::find_if(boardEntries.begin(), boardEntries.end(), [this](const BoardEntry& entry) {
            return entry.device.serial == followed->serial && entry.device.port == followed->port;
        });
        if (at == boardEntries.end()) {
            loseBoard(QStringLiteral("Board not found ! %1 is gone: pick a board").arg(boardName(*followed)));
        } else {
            selected = int(at - boardEntries.begin());
            boardText = at->text;
            boardIndex = picked ? selected : -1;
        }
    }
    emit changed(BoardList);
}

void WindowSession::rediscoverBoards()
{
    discoverBoards();
}

void WindowSession::pickBoard(int index)
{
    // Text typed into the box picks no entry and names no board: the
    // selection stays as it was.
    if (index < 0 || index >= boardEntries.size())
        return;
    boardIndex = index;
    boardText = boardEntries[index].text;
    emit changed(BoardList);
    follow(index);
    if (!boards.ok()) {
        setStatus(false, RefusedConf);
    } else if (link.isOpen(selected)) {
        setStatus(true, QStringLiteral("Board found !"));
        refreshFromBoard();
    } else {
        // Who holds the board, where the library could tell.
        const QString& why = boardEntries[index].whyClosed;
        setStatus(false, QStringLiteral("Board not found or already opened!") +
                             (why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why)));
    }
}

void WindowSession::follow(int index)
{
    selected = index;
    followed = boardEntries.value(index).device;
    boardLost = false;
}

void WindowSession::loseBoard(const QString& why)
{
    boardLost = true;
    setStatus(false, why);
}

void WindowSession::refreshFromBoard()
{
    indicatorsFromBoard();
    captionsFromBoard();
    currentRowFromBoard();
    stepBarsFromBoard();
    updateCurrentRowDuration();
}

// Under the board's lock and interlocks: a change-over inside a group
// pauses here for the dead time between its break and its make. A lock
// another program kept is said in a message. A board that fails a write is
// lost: the strip says why, and nothing more is written to any board until
// the operator picks one again.
void WindowSession::writeRelayByte()
{
    requireBoards();
    if (boardLost)
        return;
    RelayBoard relays(link, selected, pause);
    if (relays.write(relayByte) == UsbLibrary::Ok)
        return;
    if (relays.refused())
        emit errorRaised(relays.error());
    else if (link.isOpen(selected))
        loseBoard(QStringLiteral("%1 failed: %2; pick a board").arg(boardName(followed.value_or(boardEntries.value(selected).device)), relays.error()));
}

void WindowSession::readRelayByte()
{
    if (!boardLost)
        link.read(selected, relayByte);
}

void WindowSession::indicatorsFromBoard()
{
    readRelayByte();
    for (int relay = 1; relay <= RelayCount; ++relay)
        setIndicator(relay, (relayByte >> (relay - 1)) & 1 ? Lamp::On : Lamp::Off);
}
