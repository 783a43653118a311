// The relay state byte: its write to the selected board and its read-back.
#include "app/color_panel.h"
#include "app/form1.h"
#include "boardlink/usb_library.h"

void TForm1::WriteRelayState()
{
    library_.preWrite(boards.selectedHandle());
    library_.write(boards.selectedHandle(), &RelayState, 1, BytesWritten);
}

void TForm1::ReadRelayState()
{
    library_.readPins(boards.selectedHandle(), RelayState);
}

void TForm1::IndicatorsFromBoard()
{
    ReadRelayState();
    for (int relay = 1; relay <= 8; ++relay)
        indicator(relay)->setColor((RelayState >> (relay - 1)) & 1 ? Colors::Lime : Colors::Red);
}
