// The manual relay panel: one button per relay whose caption names the
// action of its next click, and ALL ON / ALL OFF.
#include "session/window_session.h"

#include "engine/device/interlock.h"
#include "engine/program/range_error.h"

namespace {
constexpr int AllOn = 9;
constexpr int AllOff = 10;
}

void WindowSession::relayCommand(int command)
{
    const BoardRules& rules = link.rules(selected);
    if (const QString why = Interlock::conflict(rules, 0xFF); command == AllOn && !why.isEmpty())
        throw RangeError(QStringLiteral("ALL ON is refused on this board: %1").arg(why));
    std::uint8_t state = relayByte;
    pause(PauseMs);
    if (command >= 1 && command <= RelayCount) {
        // The caption decides: showing the turn-on label means the relay is off.
        const int relay = command;
        const auto bit = static_cast<std::uint8_t>(1u << (relay - 1));
        const bool off = captions[static_cast<std::size_t>(relay)] == labelText(labels.turnOn(relay));
        state = off ? Interlock::switchOn(rules, state, bit) : (state & static_cast<std::uint8_t>(~bit));
        // Switching a relay of an interlock group on switches the others of it off.
        for (int other = 1; other <= RelayCount; ++other)
            if (other != relay && (relayByte & ~state & (1u << (other - 1)))) {
                setCaption(other, false);
                copyCaptionToStepBar(static_cast<unsigned>(other));
            }
        setCaption(relay, off);
    } else if (command == AllOn || command == AllOff) {
        for (int relay = 1; relay <= RelayCount; ++relay)
            setCaption(relay, command == AllOn);
        state = command == AllOn ? 0xFF : 0x00;
    }
    relayByte = state;
    writeRelayByte();
    pause(PauseMs);
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
    relayCommand(relay);
    indicatorsFromCaptions();
    currentRowFromBoard();
    stepBarsFromBoard();
    updateCurrentRowDuration();
    copyCaptionToStepBar(static_cast<unsigned>(relay));
}

void WindowSession::allOn()
{
    requireBoards();
    relayCommand(AllOn);
    indicatorsFromCaptions();
    currentRowFromBoard();
    stepBarsFromBoard();
    updateCurrentRowDuration();
}

void WindowSession::allOff()
{
    requireBoards();
    relayCommand(AllOff);
    indicatorsFromCaptions();
    currentRowFromBoard();
    stepBarsFromBoard();
    updateCurrentRowDuration();
}
