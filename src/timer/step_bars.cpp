// The step bars: one button per relay, raised (top 32) while the relay is
// on and lowered (top 112) while it is off.
#include "app/color_panel.h"
#include "app/form1.h"

#include <QPushButton>
#include <QThread>

namespace {
constexpr unsigned long BarPauseMs = 50;
}

static bool lowered(const QPushButton* bar)
{
    return bar->y() == TForm1::BarLowered;
}

static void setBar(QPushButton* bar, bool raised)
{
    bar->move(bar->x(), raised ? TForm1::BarRaised : TForm1::BarLowered);
}

void TForm1::StepBarClick(int relay)
{
    QPushButton* bar = stepBar(relay);
    setBar(bar, lowered(bar));
    WriteStepBarsToBoard();
    UpdateIndicatorsFromStepBars();
    QThread::msleep(BarPauseMs);
    UpdateCurrentRowFromBoard();
    UpdateCurrentRowDuration();
    CaptionsFromBoard();
    CopyRelayCaptionToStepBar(static_cast<unsigned>(relay));
}

void TForm1::WriteStepBarsToBoard()
{
    std::uint8_t state = 0;
    for (int relay = 1; relay <= 8; ++relay)
        if (!lowered(stepBar(relay)))
            state |= static_cast<std::uint8_t>(1u << (relay - 1));
    RelayState = state;
    WriteRelayState();
}

void TForm1::UpdateIndicatorsFromStepBars()
{
    for (int relay = 1; relay <= 8; ++relay)
        indicator(relay)->setColor(lowered(stepBar(relay)) ? Colors::Red : Colors::Lime);
}

void TForm1::UpdateStepBarsFromBoard()
{
    ReadRelayState();
    for (int relay = 1; relay <= 8; ++relay)
        setBar(stepBar(relay), (RelayState >> (relay - 1)) & 1);
}

void TForm1::CopyRelayCaptionToStepBar(unsigned relay)
{
    if (relay < 1 || relay > 8)
        return;
    const int r = static_cast<int>(relay);
    stepBar(r)->setText(manualButton(r)->text());
}
