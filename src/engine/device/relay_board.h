#pragma once

#include "engine/device/usb_library.h"

#include <QByteArray>

#include <cstdint>
#include <optional>

class BoardLink;

// Relay patterns as text: eight characters '0'/'1', relay 1 first, as in a
// program row. Bit n-1 of a pattern byte is relay n.
namespace RelayPattern {
QByteArray toText(std::uint8_t pattern);
// Exactly eight characters, each '0' or '1'.
std::optional<std::uint8_t> fromText(QByteArrayView text);
constexpr std::uint8_t bit(int relay) { return static_cast<std::uint8_t>(1u << (relay - 1)); }
}

// Reads one open board of a BoardLink. Every write to a board goes through
// its BoardTimeline, which plans it under the board's rules and history.
class RelayBoard {
public:
    RelayBoard(BoardLink& link, int index) : link_(link), index_(index) {}

    UsbLibrary::Status read(std::uint8_t& pins);

private:
    BoardLink& link_;
    int index_;
};
