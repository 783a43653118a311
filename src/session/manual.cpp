// The manual relay panel: one button per relay whose caption names the
// action of its next click, and ALL ON / ALL OFF.
#include "session/window_session.h"

#include "engine/device/relay_board.h"

namespace {
constexpr int AllOn = 9;
constexpr int AllOff = 10;
}

bool WindowSession::relayCommand(int command)
{
    // The caption decides: showing the turn-on label means the relay is off.
    const bool off = command >= 1 && command <= RelayCount &&
                     captions[static_cast<std::size_t>(command)] == labelText(labels.turnOn(command));
    const std::uint8_t state = command == AllOn                        ? 0xFF
                               : command == AllOff                     ? 0x00
                               : command >= 1 && command <= RelayCount ? timeline(selected).headed(relayByte, RelayPattern::bit(command), off ? 0xFF : 0)
                                                                       : relayByte;
    if (refused(command == AllOn ? QStringLiteral("ALL ON") : QStringLiteral("Switching relay %1").arg(command), state))
        return false;
    pause(PauseMs);
    if (command >= 1 && command <= RelayCount) {
        // The others of an interlock group switched off with it.
        for (int other = 1; other <= RelayCount; ++other)
            if (other != command && (relayByte & ~state & RelayPattern::bit(other))) {
                setCaption(other, false);
                copyCaptionToStepBar(static_cast<unsigned>(other));
            }
        setCaption(command, off);
    } else if (command == AllOn || command == AllOff) {
        for (int relay = 1; relay <= RelayCount; ++relay)
            setCaption(relay, command == AllOn);
    }
    relayByte = state;
    writeRelayByte();
    awaitMakes();
    pause(PauseMs);
    return true;
}

bool WindowSession::refused(const QString& what, std::uint8_t pattern)
{
    const QString why = timeline(selected).refusal(pattern);
    if (!why.isEmpty())
        emit errorRaised(QStringLiteral("%1 is refused on this board: %2").arg(what, why));
    return !why.isEmpty();
}

void WindowSession::indicatorsFromCaptions()
{
    for (int relay = 1; relay <= RelayCount; ++relay) {
        const bool off = captions[static_cast<std::size_t>(relay)] == labelText(labels.turnOn(relay));
        setIndicator(relay, off ? Lamp::Off : Lamp::On);
    }
}

void WindowSession::captionsFromBoard()
{
    readRelayByte();
    for (int relay = 1; relay <= RelayCount; ++relay)
        setCaption(relay, (relayByte >> (relay - 1)) & 1);
}

void WindowSession::toggleRelay(int relay)
{
    requireBoards();
    if (!relayCommand(relay))
        return;
    indicatorsFromCaptions();
    currentRowFromBoard();
    stepBarsFromBoard();
    updateCurrentRowDuration();
    copyCaptionToStepBar(static_cast<unsigned>(relay));
}

void WindowSession::allOn()
{
    requireBoards();
    if (!relayCommand(AllOn))
        return;
    indicatorsFromCaptions();
    currentRowFromBoard();
    stepBarsFromBoard();
    updateCurrentRowDuration();
}

void WindowSession::allOff()
{
    requireBoards();
    if (!relayCommand(AllOff))
        return;
    indicatorsFromCaptions();
    currentRowFromBoard();
    stepBarsFromBoard();
    updateCurrentRowDuration();
}
