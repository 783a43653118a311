#include "engine/device/relay_board.h"

#include "engine/device/board_link.h"

namespace RelayPattern {

QByteArray toText(std::uint8_t pattern)
{
    QByteArray text(8, '0');
    for (int relay = 1; relay <= 8; ++relay)
        if (pattern & bit(relay))
            text[relay - 1] = '1';
    return text;
}

std::optional<std::uint8_t> fromText(QByteArrayView text)
{
    if (text.size() != 8)
        return std::nullopt;
    std::uint8_t pattern = 0;
    for (int relay = 1; relay <= 8; ++relay) {
        const char c = text[relay - 1];
        if (c != '0' && c != '1')
            return std::nullopt;
        if (c == '1')
            pattern |= bit(relay);
    }
    return pattern;
}

}  // namespace RelayPattern

UsbLibrary::Status RelayBoard::read(std::uint8_t& pins)
{
    return link_.read(index_, pins);
}
