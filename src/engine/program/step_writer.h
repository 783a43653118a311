#pragma once

#include "engine/device/usb_library.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <vector>

class BoardLink;
class BoardLock;

// Writes a program's steps to one board under its rules. A step that changes
// over inside an interlock group writes its break on its tick and its make
// the board's dead time later, from a timer, so the step still ends on its
// own tick; the board's lock is held from the break to the make. Any other
// step is one write on its tick.
class StepWriter final : public QObject {
    Q_OBJECT
public:
    StepWriter(BoardLink& link, int index, QObject* parent = nullptr);
    ~StepWriter() override;

    // Why rows cannot be played on this board (a row with two relays of a
    // group on), naming the first such row; empty when they can.
    QString refusal(const std::vector<QByteArray>& rows) const;
    // Writes the step's pattern: the whole of it, or its break with the make
    // to follow. A make still pending from the step before is dropped: its
    // group stays off.
    UsbLibrary::Status write(std::uint8_t pattern);
    // Drops a pending make and lets go of the lock.
    void cancel();
    QString error() const;

signals:
    // The make a step's break left pending was written.
    void made();
    // A pending make could not be written.
    void makeFailed(const QString& what);

private:
    void make();

    BoardLink& link_;
    int index_;
    QTimer makeTimer_;
    std::uint8_t pending_ = 0;
    std::unique_ptr<BoardLock> lock_;
    QString error_;
};
