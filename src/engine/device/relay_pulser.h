#pragma once

#include "engine/device/usb_library.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>
#include <optional>

class BoardLink;

// Pulses (on, wait, off) and power cycles (off, wait, on) of the relays of
// one open board. The first edge is written at once; the second is kept
// until its time comes, until finish() performs it early (a signal, a
// shutdown) or until cancel() forgets it (a later command for that relay).
// Both edges go through RelayBoard, so the board's rules hold for each.
class RelayPulser final : public QObject {
    Q_OBJECT
public:
    enum class Kind { Pulse, Cycle };
    static constexpr int DefaultMs = 1000;
    static constexpr int MaxMs = 24 * 60 * 60 * 1000;

    RelayPulser(BoardLink& link, int index, QObject* parent = nullptr);
    ~RelayPulser() override;  // forgets what is pending: the owner finishes first where it must

    // A length as a person writes it: a whole number and ms, s, m or h
    // ("500ms", "2s", "1m"), from 1 ms to 24 h; nothing otherwise.
    static std::optional<int> parseDuration(const QString& text);

    // Writes the first edge of every relay n with ms[n-1] above 0, all in
    // one change, and keeps each one's second edge for ms[n-1] later. A
    // relay with a second edge pending starts over. Nothing is kept when
    // the write fails (error() says why).
    UsbLibrary::Status start(Kind kind, const std::array<int, 8>& ms);
    // Forgets the pending second edges of the relays in mask.
    void cancel(std::uint8_t mask);
    // Performs every pending second edge now, in one change.
    UsbLibrary::Status finish();
    // The relays with a second edge pending.
    std::uint8_t pending() const;
    // Why the latest write failed.
    QString error() const { return error_; }

signals:
    // The second edges of the relays in mask were written, or failed to be
    // (they are forgotten either way: a board that stopped answering is the
    // owner's to handle).
    void secondEdge(std::uint8_t mask, UsbLibrary::Status status);
    // Nothing is pending any more.
    void idle();

private:
    UsbLibrary::Status write(std::uint8_t mask, std::uint8_t levels);
    UsbLibrary::Status performDue(bool all);
    void arm();

    BoardLink& link_;
    int index_;
    QTimer timer_;
    QElapsedTimer clock_;
    std::array<qint64, 8> due_;  // clock_ time of each relay's second edge; -1: none
    std::uint8_t secondOn_ = 0;  // relays whose second edge switches them on
    QString error_;
};
