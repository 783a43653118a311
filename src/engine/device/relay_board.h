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

// The relay operations on one open board of a BoardLink, with no pauses.
class RelayBoard {
public:
    RelayBoard(BoardLink& link, int index) : link_(link), index_(index) {}

    int index() const { return index_; }
    BoardLink& link() const { return link_; }

    UsbLibrary::Status write(std::uint8_t pattern);
    UsbLibrary::Status read(std::uint8_t& pins);
    // Reads the pins, gives the relays in mask the levels of the matching
    // bits, keeps the others as read, and writes once. The byte written goes
    // to *written when given. Nothing is written when the read fails.
    UsbLibrary::Status setRelays(std::uint8_t mask, std::uint8_t levels,
                                 std::uint8_t* written = nullptr);
    // Reads the pins and flips the relays in mask.
    UsbLibrary::Status toggleRelays(std::uint8_t mask, std::uint8_t* written = nullptr);

private:
    BoardLink& link_;
    int index_;
};
