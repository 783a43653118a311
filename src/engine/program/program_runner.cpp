#include "engine/program/program_runner.h"

#include "engine/program/program_list.h"
#include "engine/program/tick_timer.h"

namespace {
// How long one late wake-up may go on loading steps that are due before the
// event loop runs again (another board's edge, a command, a signal): a
// catch-up on a slow board never holds the others up by more than a step.
constexpr std::chrono::milliseconds CatchUpBudget{2};
}  // namespace

ProgramRunner::ProgramRunner(ProgramList& list, RowLoader loader, QObject* parent)
    : QObject(parent), list_(list), loader_(std::move(loader))
{
}

void ProgramRunner::setTimer(TickTimer* timer)
{
    timer_ = timer;
}

void ProgramRunner::setCount(int count)
{
    if (count == count_)
        return;
    count_ = count;
    emit countChanged(count);
}

void ProgramRunner::setState(State state)
{
    if (timer_ && clock_ && state == State::Running)
        wake();
    else if (timer_)
        timer_->setEnabled(state == State::Running);
    if (state == state_)
        return;
    state_ = state;
    emit stateChanged(state);
}

void ProgramRunner::wake()
{
    if (timer_)
        timer_->wakeAt(schedule_.stepEnd());
}

void ProgramRunner::loadAndBegin(int row)
{
    loader_(row);
    begin(row);
}

void ProgramRunner::begin(int row)
{
    saved_ = count_;
    if (clock_ && state_ != State::Stopped) {  // not a step whose write failed
        schedule_.begin(count_);
        schedule_.written(clock_->now());
    }
    emit stepStarted(row);
}

void ProgramRunner::start()
{
    if (clock_)
        schedule_.start(clock_->now(), std::chrono::milliseconds(timer_ ? timer_->interval() : 1));
    setState(State::Running);
    loadAndBegin(0);
    if (clock_ && state_ == State::Running)
        wake();
}

void ProgramRunner::stop()
{
    if (state_ == State::Stopped)
        return;
    setState(State::Stopped);
    setCount(saved_);
}

void ProgramRunner::pause()
{
    if (state_ != State::Running)
        return;
    if (clock_)
        schedule_.pause(clock_->now());
    setState(State::Paused);
}

void ProgramRunner::resume()
{
    if (state_ != State::Paused)
        return;
    if (clock_)
        schedule_.resume(clock_->now());
    setState(State::Running);
}

void ProgramRunner::tick()
{
    if (state_ != State::Running)
        return;
    if (!clock_) {
        if (count_ >= 2)
            setCount(count_ - 1);
        else
            endStep();
        return;
    }
    const auto started = clock_->now();
    for (bool first = true; state_ == State::Running && schedule_.due(clock_->now()) &&
                            (first || clock_->now() - started < CatchUpBudget);
         first = false)
        endStep();
    if (state_ == State::Running)
        wake();  // at once when still behind
}

void ProgramRunner::endStep()
{
    // The step is over: the count goes back to the duration it began with.
    setCount(saved_);
    emit stepEnded(saved_);
    if (clock_)
        schedule_.next();
    const int next = list_.current() + 1;
    if (next < list_.count()) {
        loadAndBegin(next);
    } else if (repeat_) {
        // A program of one row goes on in the row already loaded.
        if (list_.current() != 0)
            loadAndBegin(0);
        else
            begin(0);
    } else {
        if (clock_)
            schedule_.ended(clock_->now());
        setState(State::Stopped);
        emit finished();
    }
}
