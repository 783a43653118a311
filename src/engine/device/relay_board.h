#pragma once

#include "engine/device/usb_library.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
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

// The relay operations on one open board of a BoardLink, under its rules.
// Every change takes the board's lock around its read-modify-write, and
// obeys its interlocks: a pattern with two relays of a group on is refused
// whole (nothing written); a change that switches a relay of a group on
// while another of the group is on is written as break (the group all off,
// every other relay as asked), the dead time, then make.
class RelayBoard {
public:
    using Pause = std::function<void(int ms)>;

    // pause waits the dead time; the thread sleeps when none is given.
    RelayBoard(BoardLink& link, int index, Pause pause = {});

    // Why the latest call failed, for a person: the refusal, the lock, or
    // the board's own words.
    QString error() const;
    // Whether the latest call failed before reaching the board (refused, or
    // the lock not taken) rather than on it.
    bool refused() const { return !error_.isEmpty(); }
    // How long a change waits for another process's lock (BoardLock::WaitMs).
    void setLockWait(int ms) { lockWaitMs_ = ms; }

    // Writes pattern as the relays' new state.
    UsbLibrary::Status write(std::uint8_t pattern, std::uint8_t* written = nullptr);
    UsbLibrary::Status read(std::uint8_t& pins);
    // Reads the pins, gives the relays in mask the levels of the matching
    // bits, keeps the others as read (but for the other relays of the group
    // of a relay switched on, which go off), and writes. The byte written
    // last goes to *written when given. Nothing is written when the read
    // fails.
    UsbLibrary::Status setRelays(std::uint8_t mask, std::uint8_t levels,
                                 std::uint8_t* written = nullptr);
    // Reads the pins and flips the relays in mask, as setRelays would.
    UsbLibrary::Status toggleRelays(std::uint8_t mask, std::uint8_t* written = nullptr);

private:
    // Under the lock: reads the pins, asks next for the pattern to write
    // (nullopt when refused, with error_ said) and writes it, breaking
    // before it makes where an interlock asks for it. read says whether the
    // pins are needed at all.
    UsbLibrary::Status change(bool read, const std::function<std::optional<std::uint8_t>(std::uint8_t)>& next,
                              std::uint8_t* written);
    // The pattern pins become when the relays in mask take levels.
    std::optional<std::uint8_t> switched(std::uint8_t pins, std::uint8_t mask, std::uint8_t levels);

    BoardLink& link_;
    int index_;
    Pause pause_;
    int lockWaitMs_;
    QString error_;
};
