// Board discovery and selection, and the relay state byte with its write
// and read-back.
#include "session/window_session.h"

#include "engine/device/relay_board.h"

#include <QThread>

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
    timelines_ = {};
    link.closeAll();
    const int listed = std::min(count, BoardLink::SlotCount);
    for (int n = 1; n <= listed; ++n) {
        if (boards.ok() && link.open(n - 1) != UsbLibrary::Ok && !boards.refusal(*link.describe(n - 1)).isEmpty())
            emit errorRaised(link.openError());
        // A board's history starts when it is opened.
        if (link.isOpen(n - 1))
            timeline(n - 1).readPins();
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

BoardTimeline& WindowSession::timeline(int slot)
{
    auto& line = timelines_[static_cast<std::size_t>(slot)];
    if (!line) {
        line = std::make_unique<BoardTimeline>(link, slot);
        if (clock)
            line->setClock(clock);
        // A make written on the timer that fails loses the board, as a click's write does.
        connect(line.get(), &BoardTimeline::writeFailed, this, [this, slot](const QString& what) {
            if (slot == selected && !boardLost)
                boardFailed(what);
        });
    }
    return *line;
}

// Through the board's timeline, under its lock and interlocks: a make that
// must wait for a dead time is left pending (see awaitMakes). A lock another
// program kept, or a refusal, is said in a message. A board that fails a
// write is lost: the strip says why, and nothing more is written to any
// board until the operator picks one again.
void WindowSession::writeRelayByte()
{
    requireBoards();
    if (boardLost || !link.isOpen(selected))
        return;
    bool linkFailed = false;
    const auto failed = connect(&link, &BoardLink::failed, this, [&linkFailed] { linkFailed = true; });
    const QString error = timeline(selected).set(0xFF, relayByte);
    disconnect(failed);
    if (error.isEmpty())
        return;
    if (!linkFailed)
        emit errorRaised(error);
    else if (link.isOpen(selected))
        boardFailed(error);
}

void WindowSession::boardFailed(const QString& what)
{
    loseBoard(QStringLiteral("%1 failed: %2; pick a board").arg(boardName(followed.value_or(boardEntries.value(selected).device)), what));
}

void WindowSession::awaitMakes()
{
    if (boardLost || !link.isOpen(selected))
        return;
    BoardTimeline& line = timeline(selected);
    // As long as the board's history asks: the timeline writes each make
    // once it is due (a failed one loses the board and drops the rest).
    for (qint64 wait = line.nextMakeIn(); wait >= 0; wait = line.nextMakeIn()) {
        if (wait > 0)
            pause(static_cast<int>(wait));
        else
            QThread::yieldCurrentThread();  // the clock has not moved on yet
        line.service();
    }
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
