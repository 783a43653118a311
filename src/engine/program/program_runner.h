#pragma once

#include "engine/program/headless_schedule.h"

#include <QObject>

#include <functional>

class ProgramList;
class TickTimer;

// Plays a program list row by row, one count per tick. A step starts when
// its row is loaded (the loader applies the row and sets the count, normally
// from the row's duration) and lasts count ticks, but at least one. At the
// end of a step the count goes back to the duration the step began with
// (savedStepDuration), then the next row is loaded; after the last row the
// program starts again at row 0 with repeat, and stops otherwise.
//
// Loading a row is the front end's business: the loader makes the row current
// in the list and applies it to the board and whatever shows it, and may
// raise a RangeError, which ends the operation where it stands.
//
// Headless (without a window), the runner keeps time by a clock instead of
// counting ticks: step boundaries lie a whole number of ticks after the
// start (HeadlessSchedule), the timer wakes it at the next one, and after a
// late wake-up every step whose time has passed is loaded, in order and
// each once, before play goes on in the step the clock is in.
class ProgramRunner final : public QObject {
    Q_OBJECT
public:
    enum class State { Stopped, Running, Paused };
    using RowLoader = std::function<void(int row)>;

    ProgramRunner(ProgramList& list, RowLoader loader, QObject* parent = nullptr);

    // The timer that drives the runner, enabled while running. Its ticks
    // are the owner's to connect to tick().
    void setTimer(TickTimer* timer);
    // Keeps time by clock from the next start on; nullptr: counts ticks.
    // Headless, the tick is the timer's interval.
    void setHeadless(const MonotonicClock* clock) { clock_ = clock; }
    // Headless: how many steps were loaded and how late, since the start.
    const HeadlessSchedule::Figures& figures() const { return schedule_.figures(); }

    State state() const { return state_; }
    bool isActive() const { return state_ != State::Stopped; }  // running or paused
    bool repeat() const { return repeat_; }
    void setRepeat(bool repeat) { repeat_ = repeat; }

    // The ticks left in the step being counted.
    int count() const { return count_; }
    void setCount(int count);
    // The duration the counted step began with.
    int savedStepDuration() const { return saved_; }
    // The step being counted starts over from count(): remembers it as the
    // step's duration.
    void restartStep() { saved_ = count_; }

    // Loads row 0 (also when it is current already) and starts counting.
    void start();
    // Stops; the count goes back to the duration the step began with.
    void stop();
    void pause();
    void resume();
    // One tick of the timer.
    void tick();

signals:
    void stateChanged(ProgramRunner::State state);
    void countChanged(int count);
    // The counted step is over; the count went back to savedDuration.
    void stepEnded(int savedDuration);
    // A row was loaded by the runner and its step begins.
    void stepStarted(int row);
    // The last step of a program played without repeat is over.
    void finished();

private:
    void setState(State state);
    void loadAndBegin(int row);
    void begin(int row);
    void endStep();
    void wake();

    ProgramList& list_;
    RowLoader loader_;
    TickTimer* timer_ = nullptr;
    State state_ = State::Stopped;
    bool repeat_ = false;
    int count_ = 0;
    int saved_ = 0;
    const MonotonicClock* clock_ = nullptr;
    HeadlessSchedule schedule_;
};
