#pragma once

#include "engine/device/usb_library.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>

class BoardLink;

// One board's timeline: the one place where the writes to an open board are
// planned and timed, so that its rules hold over time and not only within
// one call. It remembers when each relay last went off (as written), the make
// each relay of an interlock group waits for, and each relay's pending second
// edge of a pulse or cycle.
//
// - A request is checked whole against the board's rules (both edges of a
//   pulse or cycle) before anything is written; a refused request changes
//   nothing, pending makes and edges included.
// - Switching a relay of a group on switches the others of its group off. It
//   is made once every other relay of its group has been off for the dead
//   time, counted from the write that switched it off, whatever came between.
//   Until then its make is pending on a timer: a later request on the relay
//   keeps or replaces it but never makes earlier; dropMakes() drops it.
// - A pulse's or cycle's second edge comes its length after its first edge
//   was written, unless a later accepted request on the relay supersedes it,
//   and obeys the same rules as any switch.
// Nothing here sleeps or waits for a lock: each write takes the board's lock
// only where its holder (the process) has it already or nobody does.
class BoardTimeline final : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<qint64()>;  // milliseconds, monotonic

    BoardTimeline(BoardLink& link, int index, QObject* parent = nullptr);
    ~BoardTimeline() override;

    // A test's clock; service() then does what is due by it.
    void setClock(Clock clock) { clock_ = std::move(clock); }

    // Each request returns why it was refused or failed, empty when accepted;
    // accepted, when given, runs once the request is found acceptable and
    // before anything is written (a caller stops what it replaces there).
    // The relays in mask take the matching bits of levels, the others keep
    // where they are headed.
    using Accepted = std::function<void()>;
    QString set(std::uint8_t mask, std::uint8_t levels, const Accepted& accepted = {});
    QString toggle(std::uint8_t mask, const Accepted& accepted = {});
    // Pulses (on, then off) or cycles (off, then on) each relay n with
    // ms[n-1] above 0.
    QString pulse(bool cycle, const std::array<int, 8>& ms, const Accepted& accepted = {});
    // Why a pattern can never stand on this board; empty when it can.
    QString refusal(std::uint8_t pattern) const;
    // What pattern becomes when the relays in mask take the matching bits of
    // levels: the others of the group of a relay switched on go off. The plan
    // a request is refused or written by; nothing is written.
    std::uint8_t headed(std::uint8_t from, std::uint8_t mask, std::uint8_t levels) const;

    // Drops the pending makes of the relays in mask: a stop never makes. A
    // make that a cycle's second edge asked for stays: it ends what was
    // started, as finish() does.
    void dropMakes(std::uint8_t mask = 0xFF);
    // For an end: drops the pending makes of the relays in mask and performs
    // their pending second edges now (a cycle's make still after its dead time).
    void finish(std::uint8_t mask = 0xFF);
    // Drops the second edges pending for the relays in mask.
    void dropEdges(std::uint8_t mask);

    bool idle() const { return pendingMakes() == 0 && pendingEdges() == 0; }
    std::uint8_t pendingMakes() const;
    std::uint8_t pendingEdges() const;
    // Where the relays are headed once the pending makes are written; the
    // second edges still to come are not in it.
    std::uint8_t target() const { return target_; }
    // The levels once every pending make and edge is done.
    std::uint8_t steady() const;
    // Milliseconds until the first pending make is due (0 when it is due
    // now); -1 when none is pending.
    qint64 nextMakeIn() const;
    // Why the latest write failed.
    QString error() const { return error_; }

    // Writes whatever is due now; the timer calls it.
    void service();
    // Reads the pins, once: the history starts there, every relay off as
    // if it had just gone off. A request reads them first when nothing did.
    bool readPins();

signals:
    // A byte reached the board.
    void wrote(std::uint8_t relays);
    // A pending make was written.
    void made();
    // The second edges of the relays in mask were written (ok), or failed.
    void secondEdge(std::uint8_t mask, bool ok);
    // A timed write failed; its pending makes and edges are dropped.
    void writeFailed(const QString& what);
    // Nothing is pending any more.
    void becameIdle();
    // What is pending may have changed (a request, a write, a drop): whoever
    // waits for part of it looks again.
    void pendingChanged();

private:
    struct PendingEdge {
        int ms = 0;         // 0: none
        bool on = false;    // the level it brings
        qint64 due = -1;    // -1 until the first edge is written
    };

    qint64 now() const { return clock_(); }
    // When relay may be made: every other relay of its groups off for the
    // dead time, those in offs counted as going off at at.
    qint64 makeTime(int relay, std::uint8_t offs, qint64 at) const;
    // Writes what may be written now towards target_ (always: even when that
    // changes nothing, as a request does), leaves the rest pending.
    bool apply(bool always);
    void arm();

    BoardLink& link_;
    int index_;
    Clock clock_;
    QTimer timer_;
    bool known_ = false;           // pins_ read from the board
    std::uint8_t pins_ = 0;        // the relays as last written
    std::uint8_t target_ = 0;
    std::array<qint64, 8> offAt_{};      // when each relay last went off
    std::array<PendingEdge, 8> edges_{};
    std::uint8_t edgeMakes_ = 0;         // pending makes that came from second edges
    QString error_;
};
