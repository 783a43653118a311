#include "engine/program/program_runner.h"

#include "engine/program/program_list.h"
#include "engine/program/tick_timer.h"

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
    if (timer_)
        timer_->setEnabled(state == State::Running);
    if (state == state_)
        return;
    state_ = state;
    emit stateChanged(state);
}

void ProgramRunner::loadAndBegin(int row)
{
    loader_(row);
    saved_ = count_;
    emit stepStarted(row);
}

void ProgramRunner::start()
{
    setState(State::Running);
    loadAndBegin(0);
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
    if (state_ == State::Running)
        setState(State::Paused);
}

void ProgramRunner::resume()
{
    if (state_ == State::Paused)
        setState(State::Running);
}

void ProgramRunner::tick()
{
    if (state_ != State::Running)
        return;
    if (count_ >= 2) {
        setCount(count_ - 1);
        return;
    }
    // The step is over: the count goes back to the duration it began with.
    setCount(saved_);
    emit stepEnded(saved_);
    const int next = list_.current() + 1;
    if (next < list_.count()) {
        loadAndBegin(next);
    } else if (repeat_) {
        // A program of one row goes on in the row already loaded.
        if (list_.current() != 0)
            loadAndBegin(0);
        else
            emit stepStarted(0);
    } else {
        setState(State::Stopped);
        emit finished();
    }
}
