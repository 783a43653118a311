#pragma once

#include <QString>

#include <functional>

// One switch at a time per board, across processes: an exclusive flock on
// FOLDER/kestrune-PORT.lock (created mode 0666; opened read-only, so every
// user can take it whoever created it),
// held while the object lives. Whoever switches a board takes it around a
// whole read-modify-write or break-before-make, so two processes cannot lose
// each other's change or make two interlocked relays on together. Within one
// process the lock nests: a change made while the front end already holds
// the board's lock (around its open, say) goes ahead.
class BoardLock {
public:
    static constexpr int WaitMs = 5000;

    // Takes the lock of the board at port, waiting up to waitMs for another
    // holder to let go. A board without a port has nothing to lock by, and
    // boards without a lock folder belong to this process alone: held.
    // waiting, when given, is told once, at once, who holds the lock (from
    // /proc/locks) when it must wait; giveUp, when given, is asked between
    // tries and ends the wait, the lock not taken, once it answers true.
    using Waiting = std::function<void(const QString& message)>;
    BoardLock(const QString& folder, const QString& port, int waitMs = WaitMs, const Waiting& waiting = {},
              const std::function<bool()>& giveUp = {});
    ~BoardLock();
    BoardLock(const BoardLock&) = delete;
    BoardLock& operator=(const BoardLock&) = delete;

    bool held() const { return error_.isEmpty(); }
    // Why the lock was not taken, for a person.
    const QString& error() const { return error_; }

    static QString path(const QString& folder, const QString& port);

private:
    QString path_;
    QString error_;
};
