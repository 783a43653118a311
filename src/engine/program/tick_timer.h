#pragma once

#include <QObject>

#include <chrono>

class QSocketNotifier;

// A millisecond timer that ticks against fixed deadlines on the thread that
// owns it. Built on a periodic timerfd: the period does not drift with the
// time the handlers take, and expiries missed while a handler blocked are
// dropped rather than caught up, so one timeout() is delivered per wake-up.
// Or, after wakeAt(), once at a point of the monotonic clock.
class TickTimer final : public QObject {
    Q_OBJECT
public:
    explicit TickTimer(QObject* parent = nullptr);
    ~TickTimer() override;

    void setInterval(int ms);  // takes effect at once when running
    int interval() const { return interval_; }
    void setEnabled(bool enabled);
    bool isEnabled() const { return enabled_; }
    // One timeout() at time (CLOCK_MONOTONIC), at once if it has passed,
    // instead of the period; setEnabled(false) ends it.
    void wakeAt(std::chrono::nanoseconds time);
    std::chrono::nanoseconds wakeTime() const { return wake_; }

    // Expiries that were dropped because a handler was still running.
    quint64 missedTicks() const { return missed_; }

signals:
    void timeout();

private:
    void arm();
    void onReadable();

    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    int interval_ = 1;
    bool enabled_ = false;
    quint64 missed_ = 0;
    std::chrono::nanoseconds wake_{-1};  // negative: periodic
};
