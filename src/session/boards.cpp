// Board discovery and selection, and the relay state byte with its write
// and read-back.
#include "session/window_session.h"

#include "engine/device/relay_board.h"

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

}  // namespace

void WindowSession::discoverBoards()
{
    boardEntries.clear();
    boardIndex = -1;
    const int count = link.discover();
    if (count == 0) {
        boardText = QStringLiteral("No Boards Found");
        emit changed(BoardList);
        setStatus(false, QStringLiteral("Board not found !"));
        return;
    }
    // The table has room for the first 35 boards; those are listed, each
    // opened again in bit-bang mode, unless boards.conf was refused: then
    // none is touched. A device two sections match is refused by name.
    const int listed = std::min(count, BoardLink::SlotCount);
    for (int n = 1; n <= listed; ++n) {
        if (boards.ok() && link.open(n - 1) != UsbLibrary::Ok && !boards.refusal(*link.describe(n - 1)).isEmpty())
            emit errorRaised(link.openError());
        const QString text = listed == 1 ? QStringLiteral("Relay Board 1") : boardEntryText(n);
        const DeviceInfo info = link.describe(n - 1).value_or(DeviceInfo{});
        boardEntries.append({text, detailsOf(info, boards.board(info))});
    }
    // Discovery picks no entry; the box shows the first board's name.
    boardText = QStringLiteral("Relay Board 1");
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
    selected = index;
    if (!boards.ok()) {
        setStatus(false, RefusedConf);
    } else if (link.isOpen(selected)) {
        setStatus(true, QStringLiteral("Board found !"));
        refreshFromBoard();
    } else {
        setStatus(false, QStringLiteral("Board not found or already opened!"));
    }
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
// pauses here for the dead time between its break and its make. A board
// that fails stays silent, as before; a lock another program kept is said.
void WindowSession::writeRelayByte()
{
    requireBoards();
    RelayBoard relays(link, selected, pause);
    if (relays.write(relayByte) != UsbLibrary::Ok && relays.refused())
        emit errorRaised(relays.error());
}

void WindowSession::readRelayByte()
{
    link.read(selected, relayByte);
}

void WindowSession::indicatorsFromBoard()
{
    readRelayByte();
    for (int relay = 1; relay <= RelayCount; ++relay)
        setIndicator(relay, (relayByte >> (relay - 1)) & 1 ? Lamp::On : Lamp::Off);
}
