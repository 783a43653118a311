#include "engine/program/headless_schedule.h"

std::chrono::nanoseconds MonotonicClock::now() const
{
    // steady_clock is CLOCK_MONOTONIC with glibc, as timerfd deadlines are.
    return std::chrono::steady_clock::now().time_since_epoch();
}

const MonotonicClock& MonotonicClock::system()
{
    static const MonotonicClock clock;
    return clock;
}

void HeadlessSchedule::start(Nanoseconds now, Nanoseconds tick)
{
    tick_ = tick;
    boundary_ = now;
    ticks_ = 1;
    paused_ = false;
    figures_ = {};
}

void HeadlessSchedule::written(Nanoseconds now)
{
    const Nanoseconds late = now - boundary_;
    ++figures_.steps;
    if (late >= LateBy)
        ++figures_.late;
    figures_.largest = std::max(figures_.largest, late);
}

void HeadlessSchedule::pause(Nanoseconds now)
{
    if (paused_)
        return;
    paused_ = true;
    pausedAt_ = now;
}

void HeadlessSchedule::resume(Nanoseconds now)
{
    if (!paused_)
        return;
    paused_ = false;
    boundary_ += now - pausedAt_;
}
