#pragma once

// The safety monitor: checks what emulated boards did over time against the
// rules of the boards.conf a test uses and the pulses the test started.
//  1. never two relays of one interlock group on at once;
//  2. a relay of a group goes on only when every other relay of its group has
//     been off for dead_time_ms, and a make that waited (its break in the same
//     claim, no request of the test between) comes at most 250 ms after its
//     wait ended;
//  3. a relay changes only through a byte written while the board is claimed
//     and in bit-bang mode;
//  4. a pulse or cycle whose first edge came ends with its second edge, no
//     earlier than asked and at most 250 ms later (or by the time it is
//     checked, when a signal of the test ended it early).
// A relay is on while its line is driven high (low on an active-low board);
// an undriven line is off.

#include "engine/device/board_rules.h"
#include "emulated_ftdi.h"

#include <QList>
#include <QMap>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

class BoardsConf;

namespace safety {

inline constexpr qint64 BoundUs = 250'000;

// A pulse or cycle the test started: relay 1-8 of emulated board `board`,
// asked after afterUs (the history's clock) to last ms.
struct Pulse {
    int board = 0;
    int relay = 1;
    bool cycle = false;  // off first, then on
    qint64 afterUs = 0;
    int ms = 0;
    qint64 cutUs = 0;  // the test ended it early (a signal) at this time; 0: it did not
};

class Monitor {
public:
    // The rules from now on: every board as boards.conf at path names it
    // (read with the engine's reader; a refused file names no board), and
    // boards given their rules here whatever the file says.
    void useBoards(const QString& path);
    void setRules(int board, const BoardRules& rules);
    void pulse(const Pulse& p) { pulses_ << p; }
    // The test sends a request of its own: a break before and a make after
    // it are two requests, not a make that waited.
    void request() { requests_ << emulated_ftdi_now_us(); }

    // Checks what every board of bus did since the previous check, and every
    // pulse: empty when every rule held, else each rule broken with the
    // history around it.
    QString check(const EmulatedFtdiBus* bus);

private:
    BoardRules rulesOf(const EmulatedFtdiBus* bus, int board) const;
    QString checkBoard(const EmulatedFtdiBus* bus, int board, const QList<EmulatedFtdiEvent>& events, qsizetype from) const;
    QString checkPulse(const Pulse& p, const QList<EmulatedFtdiEvent>& events, const BoardRules& rules) const;

    std::shared_ptr<const BoardsConf> conf_;  // shared: the header needs no BoardsConf
    QMap<int, BoardRules> rules_;
    QList<Pulse> pulses_;
    QList<qint64> requests_;
    QMap<int, qsizetype> checked_;  // board -> events already checked
    qint64 origin_ = emulated_ftdi_now_us();
};

// An emulated bus under the monitor, for a test class: start() in init()
// (it aborts where umockdev's preload library is not active), finish() in
// cleanup().
struct MonitoredBus {
    std::unique_ptr<EmulatedFtdiBus, void (*)(EmulatedFtdiBus*)> bus{nullptr, emulated_ftdi_bus_free};
    std::unique_ptr<Monitor> monitor;

    void start();
    // Checks the history and frees the bus.
    void finish();
    EmulatedFtdiBus* get() const { return bus.get(); }
    // Every byte written to board since it was plugged in or last cleared, and its pins, relay 1 first.
    std::vector<std::uint8_t> written(int board) const;
    QByteArray pins(int board) const;
};

}  // namespace safety
