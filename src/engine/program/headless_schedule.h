#pragma once

#include <QtGlobal>

#include <algorithm>
#include <chrono>

// The monotonic clock a program played without a window keeps time by.
// Tests put in one that only moves when told.
class MonotonicClock {
public:
    virtual ~MonotonicClock() = default;
    // CLOCK_MONOTONIC, the clock the tick timer's deadlines are on.
    virtual std::chrono::nanoseconds now() const;
    static const MonotonicClock& system();
};

// The step boundaries of a program played without a window, fixed on the
// clock: a step begins where the one before it ended, so step boundaries are
// the start plus a whole number of ticks (plus the time spent paused),
// however late the process gets round to them. A step lasts at least one
// tick. Counts how late each step's pattern was written.
class HeadlessSchedule {
public:
    using Nanoseconds = std::chrono::nanoseconds;
    struct Figures {
        quint64 steps = 0;       // steps written
        quint64 late = 0;        // of those, written LateBy or more after their time
        Nanoseconds largest{0};  // the largest lateness of any step
        Nanoseconds end{-1};     // how late the program ended; negative while it has not
    };
    // A step written this much after its boundary or more counts as late.
    static constexpr Nanoseconds LateBy = std::chrono::milliseconds(1);

    // The first step begins at now; the figures start over.
    void start(Nanoseconds now, Nanoseconds tick);
    // The step beginning at the present boundary lasts ticks ticks (at least one).
    void begin(int ticks) { ticks_ = std::max(ticks, 1); }
    // Its pattern reached the board at now.
    void written(Nanoseconds now);
    Nanoseconds stepStart() const { return boundary_; }
    Nanoseconds stepEnd() const { return boundary_ + ticks_ * tick_; }
    bool due(Nanoseconds now) const { return !paused_ && now >= stepEnd(); }
    // The step is over: the next one begins at its end, not at now.
    void next() { boundary_ = stepEnd(); }
    // The last step is over; the program ended at now.
    void ended(Nanoseconds now) { figures_.end = now - boundary_; }
    // The boundaries still ahead move on by the time spent paused.
    void pause(Nanoseconds now);
    void resume(Nanoseconds now);
    const Figures& figures() const { return figures_; }

private:
    Nanoseconds tick_{std::chrono::milliseconds(1)};
    Nanoseconds boundary_{0};
    Nanoseconds pausedAt_{0};
    qint64 ticks_ = 1;
    bool paused_ = false;
    Figures figures_;
};
