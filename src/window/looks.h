#pragma once

#include "session/window_session.h"

// Colours in the encoding the window's panels are read back in: red in the
// lowest byte, green in the next, blue in the third.
namespace Colors {
inline constexpr int Red = 0x0000FF;   // 255
inline constexpr int Lime = 0x00FF00;  // 65280
inline constexpr int Green = 0x008000;
inline constexpr int ButtonFace = static_cast<int>(0x8000000F);  // the window's face colour
}

// How the window shows what its session says: colours and positions.
namespace Looks {
inline constexpr int BarRaisedTop = 32;    // a step bar's top while its relay is on
inline constexpr int BarLoweredTop = 112;  // ... and while it is off

constexpr int barTop(bool raised) { return raised ? BarRaisedTop : BarLoweredTop; }
constexpr int statusColor(bool boardFound) { return boardFound ? Colors::Lime : Colors::Red; }
constexpr int lampColor(Lamp lamp)
{
    switch (lamp) {
    case Lamp::On:
        return Colors::Lime;
    case Lamp::Off:
        return Colors::Red;
    case Lamp::Unlit:
        break;
    }
    return Colors::ButtonFace;
}
}  // namespace Looks
