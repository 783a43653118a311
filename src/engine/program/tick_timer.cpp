#include "engine/program/tick_timer.h"

#include <QSocketNotifier>

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>

TickTimer::TickTimer(QObject* parent) : QObject(parent)
{
    fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ >= 0) {
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &TickTimer::onReadable);
    }
}

TickTimer::~TickTimer()
{
    if (notifier_)
        notifier_->setEnabled(false);
    if (fd_ >= 0)
        ::close(fd_);
}

void TickTimer::setInterval(int ms)
{
    interval_ = std::max(ms, 1);
    arm();
}

void TickTimer::setEnabled(bool enabled)
{
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    wake_ = std::chrono::nanoseconds(-1);
    arm();
}

void TickTimer::wakeAt(std::chrono::nanoseconds time)
{
    enabled_ = true;
    wake_ = std::max(time, std::chrono::nanoseconds(1));  // an all-zero value would disarm
    arm();
}

void TickTimer::arm()
{
    if (fd_ < 0)
        return;
    // Setting the timer, or clearing it, also discards expiries not yet read.
    itimerspec period{};
    if (enabled_ && wake_.count() >= 0) {
        period.it_value.tv_sec = static_cast<time_t>(wake_.count() / 1'000'000'000);
        period.it_value.tv_nsec = static_cast<long>(wake_.count() % 1'000'000'000);
        ::timerfd_settime(fd_, TFD_TIMER_ABSTIME, &period, nullptr);
        return;
    }
    if (enabled_) {
        const long ns = static_cast<long>(interval_) * 1'000'000L;
        period.it_interval.tv_sec = ns / 1'000'000'000L;
        period.it_interval.tv_nsec = ns % 1'000'000'000L;
        period.it_value = period.it_interval;
    }
    ::timerfd_settime(fd_, 0, &period, nullptr);
}

void TickTimer::onReadable()
{
    std::uint64_t expiries = 0;
    const auto got = ::read(fd_, &expiries, sizeof expiries);
    if (got != static_cast<ssize_t>(sizeof expiries) || expiries == 0 || !enabled_)
        return;
    missed_ += expiries - 1;
    emit timeout();
}
