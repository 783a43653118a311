#include "engine/device/relay_pulser.h"

#include "engine/device/board_link.h"
#include "engine/device/relay_board.h"

#include <QRegularExpression>

#include <algorithm>

RelayPulser::RelayPulser(BoardLink& link, int index, QObject* parent) : QObject(parent), link_(link), index_(index)
{
    due_.fill(-1);
    // A coarse timer may fire up to 5 % late: a 24 h pulse would run an hour over.
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { performDue(false); });
    clock_.start();
}

RelayPulser::~RelayPulser() = default;

std::optional<int> RelayPulser::parseDuration(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,9})(ms|s|m|h)$"));
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    const QString unit = match.captured(2);
    const qint64 scale = unit == QLatin1String("ms") ? 1 : unit == QLatin1String("s") ? 1000
                         : unit == QLatin1String("m") ? 60'000 : 3'600'000;
    const qint64 ms = match.captured(1).toLongLong() * scale;
    if (ms < 1 || ms > MaxMs)
        return std::nullopt;
    return static_cast<int>(ms);
}

std::uint8_t RelayPulser::pending() const
{
    std::uint8_t mask = 0;
    for (int relay = 1; relay <= 8; ++relay)
        if (due_[relay - 1] >= 0)
            mask |= RelayPattern::bit(relay);
    return mask;
}

UsbLibrary::Status RelayPulser::write(std::uint8_t mask, std::uint8_t levels)
{
    RelayBoard board(link_, index_);
    const UsbLibrary::Status status = board.setRelays(mask, levels);
    error_ = status == UsbLibrary::Ok ? QString() : board.error();
    return status;
}

UsbLibrary::Status RelayPulser::start(Kind kind, const std::array<int, 8>& ms)
{
    std::uint8_t mask = 0;
    for (int relay = 1; relay <= 8; ++relay)
        if (ms[relay - 1] > 0)
            mask |= RelayPattern::bit(relay);
    const std::uint8_t firstOn = kind == Kind::Pulse ? mask : 0;
    const UsbLibrary::Status status = write(mask, firstOn);
    if (status != UsbLibrary::Ok) {
        cancel(mask);
        return status;
    }
    // Timed from the end of the first write: the relay has its full length.
    const qint64 now = clock_.elapsed();
    for (int relay = 1; relay <= 8; ++relay)
        if (ms[relay - 1] > 0)
            due_[relay - 1] = now + std::min(ms[relay - 1], MaxMs);
    secondOn_ = static_cast<std::uint8_t>((secondOn_ & ~mask) | (mask & ~firstOn));
    arm();
    return status;
}

void RelayPulser::cancel(std::uint8_t mask)
{
    const bool was = pending() != 0;
    for (int relay = 1; relay <= 8; ++relay)
        if (mask & RelayPattern::bit(relay))
            due_[relay - 1] = -1;
    arm();
    if (was && pending() == 0)
        emit idle();
}

UsbLibrary::Status RelayPulser::finish()
{
    return performDue(true);
}

UsbLibrary::Status RelayPulser::performDue(bool all)
{
    const qint64 now = clock_.elapsed();
    std::uint8_t mask = 0;
    for (int relay = 1; relay <= 8; ++relay)
        if (due_[relay - 1] >= 0 && (all || due_[relay - 1] <= now)) {
            mask |= RelayPattern::bit(relay);
            due_[relay - 1] = -1;
        }
    UsbLibrary::Status status = UsbLibrary::Ok;
    if (mask) {
        status = write(mask, secondOn_ & mask);
        emit secondEdge(mask, status);
    }
    arm();
    if (mask && pending() == 0)
        emit idle();
    return status;
}

void RelayPulser::arm()
{
    qint64 next = -1;
    for (qint64 due : due_)
        if (due >= 0 && (next < 0 || due < next))
            next = due;
    if (next < 0)
        return timer_.stop();
    timer_.start(static_cast<int>(std::max<qint64>(0, next - clock_.elapsed())));
}
