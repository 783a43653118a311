// The manual relay panel: one button per relay whose caption names the
// action of its next click, and ALL ON / ALL OFF.
#include "app/color_panel.h"
#include "app/form1.h"

#include <QPushButton>
#include <QThread>

namespace {
constexpr int AllOn = 9;
constexpr int AllOff = 10;
constexpr unsigned long CommandPauseMs = 50;
}

void TForm1::setCaption(int relay, bool on)
{
    manualButton(relay)->setText(labelText(on ? labels.turnOff(relay) : labels.turnOn(relay)));
}

void TForm1::RelayCommand(int command)
{
    std::uint8_t state = RelayState;
    QThread::msleep(CommandPauseMs);
    if (command >= 1 && command <= 8) {
        // The caption decides: showing the turn-on label means the relay is off.
        const int relay = command;
        const std::uint8_t bit = static_cast<std::uint8_t>(1u << (relay - 1));
        if (manualButton(relay)->text() == labelText(labels.turnOn(relay))) {
            state |= bit;
            setCaption(relay, true);
        } else {
            state &= static_cast<std::uint8_t>(~bit);
            setCaption(relay, false);
        }
    } else if (command == AllOn || command == AllOff) {
        for (int relay = 1; relay <= 8; ++relay)
            setCaption(relay, command == AllOn);
        state = command == AllOn ? 0xFF : 0x00;
    }
    RelayState = state;
    WriteRelayState();
    QThread::msleep(CommandPauseMs);
}

void TForm1::IndicatorsFromCaptions()
{
    for (int relay = 1; relay <= 8; ++relay) {
        const bool off = manualButton(relay)->text() == labelText(labels.turnOn(relay));
        indicator(relay)->setColor(off ? Colors::Red : Colors::Lime);
    }
}

void TForm1::CaptionsFromBoard()
{
    ReadRelayState();
    for (int relay = 1; relay <= 8; ++relay)
        setCaption(relay, (RelayState >> (relay - 1)) & 1);
}

void TForm1::ManualRelayClick(int relay)
{
    RelayCommand(relay);
    IndicatorsFromCaptions();
    UpdateCurrentRowFromBoard();
    UpdateStepBarsFromBoard();
    UpdateCurrentRowDuration();
    CopyRelayCaptionToStepBar(static_cast<unsigned>(relay));
}

void TForm1::Button9Click()
{
    RelayCommand(AllOn);
    IndicatorsFromCaptions();
    UpdateCurrentRowFromBoard();
    UpdateStepBarsFromBoard();
    UpdateCurrentRowDuration();
}

void TForm1::Button10Click()
{
    RelayCommand(AllOff);
    IndicatorsFromCaptions();
    UpdateCurrentRowFromBoard();
    UpdateStepBarsFromBoard();
    UpdateCurrentRowDuration();
}
