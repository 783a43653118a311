#pragma once

#include "boardlink/usb_library.h"

#include <QString>

#include <array>
#include <cstdint>

// The attached boards: one handle slot per board (zero = not open), the
// number of boards reported by the latest discovery, and the slot that
// every relay operation addresses.
struct BoardTable {
    static constexpr int SlotCount = 35;
    static constexpr std::uint8_t BoardMask = 0xFF;  // all eight data pins are outputs
    static constexpr std::uint8_t BoardMode = 0x01;  // asynchronous bit-bang

    std::array<UsbLibrary::Handle, SlotCount> handles{};
    std::uint32_t count = 0;
    int selected = 0;

    UsbLibrary::Handle selectedHandle() const
    {
        return selected >= 0 && selected < SlotCount ? handles[static_cast<std::size_t>(selected)] : 0;
    }
};

// The list entry of board n (1-35): "Relay Board" and three blanks, with the
// board number written over it from the thirteenth character on.
inline QString boardEntryText(int n)
{
    QString text = QStringLiteral("Relay Board   ");
    const QString digits = QString::number(n);
    text.replace(12, digits.size(), digits);
    return text;
}
