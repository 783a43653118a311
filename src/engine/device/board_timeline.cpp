#include "engine/device/board_timeline.h"

#include "engine/device/board_link.h"
#include "engine/device/board_lock.h"
#include "engine/device/interlock.h"
#include "engine/device/relay_board.h"

#include <QElapsedTimer>

#include <algorithm>
#include <limits>

namespace {
constexpr qint64 LongAgo = std::numeric_limits<qint64>::min() / 4;

std::uint8_t bitsOf(const std::array<int, 8>& ms)
{
    std::uint8_t mask = 0;
    for (int relay = 1; relay <= 8; ++relay)
        if (ms[std::size_t(relay - 1)] > 0)
            mask |= RelayPattern::bit(relay);
    return mask;
}
}  // namespace

BoardTimeline::BoardTimeline(BoardLink& link, int index, QObject* parent)
    : QObject(parent), link_(link), index_(index)
{
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    clock_ = [clock] { return clock->elapsed(); };
    offAt_.fill(LongAgo);
    // A coarse timer may fire up to 5 % late: a 24 h pulse would run an hour over.
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &BoardTimeline::service);
}

BoardTimeline::~BoardTimeline() = default;

bool BoardTimeline::readPins()
{
    if (known_)
        return true;
    if (link_.read(index_, pins_) != UsbLibrary::Ok) {
        error_ = link_.lastError();
        return false;
    }
    target_ = pins_;
    // When a relay that is off went off is not known: as if just now, so
    // that a make waits its dead time whatever another program did before.
    for (qint64& at : offAt_)
        at = now() + 1;
    return known_ = true;
}

std::uint8_t BoardTimeline::headed(std::uint8_t from, std::uint8_t mask, std::uint8_t levels) const
{
    const auto on = static_cast<std::uint8_t>(mask & levels);
    return Interlock::switchOn(link_.rules(index_), static_cast<std::uint8_t>((from & ~mask) | on), on);
}

QString BoardTimeline::refusal(std::uint8_t pattern) const
{
    return Interlock::conflict(link_.rules(index_), pattern);
}

QString BoardTimeline::set(std::uint8_t mask, std::uint8_t levels, const Accepted& accepted)
{
    if (!readPins())
        return error_;
    if (const QString why = refusal(headed(target_, mask, levels)); !why.isEmpty())
        return QStringLiteral("refused: ") + why;
    if (accepted)
        accepted();
    const std::uint8_t next = headed(target_, mask, levels);
    // A later request on a relay has the last word over its pending edge.
    dropEdges(static_cast<std::uint8_t>(mask | (next ^ target_)));
    target_ = next;
    return apply(true) ? QString() : error_;
}

QString BoardTimeline::toggle(std::uint8_t mask, const Accepted& accepted)
{
    if (!readPins())
        return error_;
    return set(mask, static_cast<std::uint8_t>(~target_), accepted);
}

QString BoardTimeline::pulse(bool cycle, const std::array<int, 8>& ms, const Accepted& accepted)
{
    if (!readPins())
        return error_;
    const std::uint8_t mask = bitsOf(ms);
    for (const std::uint8_t pattern : {headed(target_, mask, cycle ? 0 : mask), headed(target_, mask, cycle ? mask : 0)})
        if (const QString why = refusal(pattern); !why.isEmpty())
            return QStringLiteral("refused: ") + why;
    if (accepted)
        accepted();
    const std::uint8_t first = headed(target_, mask, cycle ? 0 : mask);
    dropEdges(static_cast<std::uint8_t>(mask | (first ^ target_)));
    target_ = first;
    for (int relay = 1; relay <= 8; ++relay)
        if (const int length = ms[std::size_t(relay - 1)]; length > 0)
            edges_[std::size_t(relay - 1)] = PendingEdge{length, cycle, -1};
    return apply(true) ? QString() : error_;
}

std::uint8_t BoardTimeline::pendingMakes() const
{
    return known_ ? static_cast<std::uint8_t>(target_ & ~pins_) : 0;
}

std::uint8_t BoardTimeline::pendingEdges() const
{
    std::uint8_t mask = 0;
    for (int relay = 1; relay <= 8; ++relay)
        if (edges_[std::size_t(relay - 1)].ms > 0)
            mask |= RelayPattern::bit(relay);
    return mask;
}

std::uint8_t BoardTimeline::steady() const
{
    std::uint8_t levels = target_;
    for (int relay = 1; relay <= 8; ++relay)
        if (const PendingEdge& edge = edges_[std::size_t(relay - 1)]; edge.ms > 0)
            levels = headed(levels, RelayPattern::bit(relay), edge.on ? 0xFF : 0);
    return levels;
}

void BoardTimeline::dropMakes(std::uint8_t mask)
{
    target_ &= static_cast<std::uint8_t>(pins_ | edgeMakes_ | ~mask);
    for (int relay = 1; relay <= 8; ++relay)
        if ((mask & RelayPattern::bit(relay)) && edges_[std::size_t(relay - 1)].due < 0)
            edges_[std::size_t(relay - 1)] = {};  // its first edge will never come
    arm();
}

void BoardTimeline::dropEdges(std::uint8_t mask)
{
    for (int relay = 1; relay <= 8; ++relay)
        if (mask & RelayPattern::bit(relay))
            edges_[std::size_t(relay - 1)] = {};
    edgeMakes_ &= static_cast<std::uint8_t>(~mask);
    arm();
}

void BoardTimeline::finish(std::uint8_t mask)
{
    dropMakes(mask);
    for (int relay = 1; relay <= 8; ++relay)
        if (PendingEdge& edge = edges_[std::size_t(relay - 1)]; edge.ms > 0 && (mask & RelayPattern::bit(relay)))
            edge.due = std::min(edge.due, now());
    service();
}

qint64 BoardTimeline::makeTime(int relay, std::uint8_t offs, qint64 at) const
{
    const BoardRules& rules = link_.rules(index_);
    qint64 allowed = LongAgo;
    for (const QList<int>& group : rules.interlocks)
        if (group.contains(relay))
            for (const int other : group)
                if (other != relay)
                    allowed = std::max(allowed, (offs & RelayPattern::bit(other))
                                                    ? at + std::max(rules.deadTimeMs, 1)  // never in the break's own write
                                                    : offAt_[std::size_t(other - 1)] + rules.deadTimeMs);
    return allowed;
}

bool BoardTimeline::apply(bool always)
{
    const qint64 at = now();
    const auto offs = static_cast<std::uint8_t>(pins_ & ~target_);
    auto next = static_cast<std::uint8_t>(pins_ & ~offs);
    // A relay of a group is made once every other relay of the group has
    // been off for the dead time; the others come on at once.
    for (int relay = 1; relay <= 8; ++relay) {
        const std::uint8_t bit = RelayPattern::bit(relay);
        if (!(target_ & bit) || (pins_ & bit))
            continue;
        if (makeTime(relay, offs, at) <= at)
            next |= bit;
    }
    if (next != pins_ || always) {
        const auto lock = link_.lock(index_, 0);
        if (!lock->held()) {
            error_ = lock->error();
            return false;
        }
        if (link_.write(index_, next) != UsbLibrary::Ok) {
            error_ = link_.lastError();
            return false;
        }
        // Times count from the end of the write, rounded up to a whole ms.
        const qint64 written = now() + 1;
        for (int relay = 1; relay <= 8; ++relay)
            if (offs & RelayPattern::bit(relay))
                offAt_[std::size_t(relay - 1)] = written;
        pins_ = next;
        emit wrote(pins_);
    }
    // A second edge is timed from its first edge's write.
    const qint64 written = now() + 1;
    for (int relay = 1; relay <= 8; ++relay) {
        PendingEdge& edge = edges_[std::size_t(relay - 1)];
        if (edge.ms > 0 && edge.due < 0 && bool(pins_ & RelayPattern::bit(relay)) != edge.on)
            edge.due = written + edge.ms;
    }
    edgeMakes_ &= static_cast<std::uint8_t>(target_ & ~pins_);
    arm();
    return true;
}

void BoardTimeline::service()
{
    const qint64 at = now();
    std::uint8_t mask = 0, levels = 0;
    for (int relay = 1; relay <= 8; ++relay) {
        PendingEdge& edge = edges_[std::size_t(relay - 1)];
        if (edge.ms > 0 && edge.due >= 0 && edge.due <= at) {
            mask |= RelayPattern::bit(relay);
            levels |= edge.on ? RelayPattern::bit(relay) : 0;
            edge = {};
        }
    }
    if (mask) {
        target_ = headed(target_, mask, levels);
        edgeMakes_ |= levels;
    }
    const std::uint8_t waiting = pendingMakes();
    const bool ok = apply(false);
    if (mask)
        emit secondEdge(mask, ok);
    if (ok && (waiting & pins_))
        emit made();
    if (!ok) {
        target_ = pins_;
        edges_.fill({});
        edgeMakes_ = 0;
        arm();
        emit writeFailed(error_);
    }
    if (idle())
        emit becameIdle();
}

qint64 BoardTimeline::nextMakeIn() const
{
    qint64 next = -1;
    const std::uint8_t makes = pendingMakes();
    for (int relay = 1; relay <= 8; ++relay)
        if (makes & RelayPattern::bit(relay))
            next = next < 0 ? makeTime(relay, 0, 0) : std::min(next, makeTime(relay, 0, 0));
    return next < 0 ? -1 : std::max<qint64>(0, next - now());
}

void BoardTimeline::arm()
{
    qint64 next = -1;
    const auto sooner = [&](qint64 at) { next = next < 0 ? at : std::min(next, at); };
    for (const PendingEdge& edge : edges_)
        if (edge.ms > 0 && edge.due >= 0)
            sooner(edge.due);
    if (const qint64 make = nextMakeIn(); make >= 0)
        sooner(now() + make);
    if (next < 0)
        timer_.stop();
    else
        timer_.start(static_cast<int>(std::clamp<qint64>(next - now(), 0, std::numeric_limits<int>::max())));
    emit pendingChanged();
}
