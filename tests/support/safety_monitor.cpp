#include "safety_monitor.h"

#include "engine/config/boards_conf.h"
#include "engine/device/relay_board.h"

#include <QtTest>

#include <bit>
#include <limits>

namespace safety {
namespace {

const char* const Causes[] = {"plugged in", "opened", "claimed", "bit mode", "write", "read", "released", "closed", "pulled out"};

// The relays that are on (bit n: relay n + 1).
std::uint8_t relays(const EmulatedFtdiEvent& e, bool invert)
{
    return e.mode == 0x00 ? 0 : std::uint8_t(e.mask & (invert ? ~e.latch : e.latch));
}
bool byWrite(const EmulatedFtdiEvent& e) { return e.cause == EMULATED_FTDI_WRITE && e.claimed && e.mode != 0x00; }
QString bits(std::uint8_t b) { return QString::fromLatin1(RelayPattern::toText(b)); }
QString hex(int b) { return QString::number(b, 16).rightJustified(2, u'0'); }
QString ms(qint64 us) { return QString::number(double(us) / 1000.0, 'f', 1) + " ms"; }

}  // namespace

void Monitor::useBoards(const QString& path) { conf_ = std::make_shared<const BoardsConf>(BoardsConf::load(path, true)); }
void Monitor::setRules(int board, const BoardRules& rules) { rules_[board] = rules; }

BoardRules Monitor::rulesOf(const EmulatedFtdiBus* bus, int board) const
{
    if (rules_.contains(board))
        return rules_[board];
    const DeviceInfo device{QString::fromUtf8(emulated_ftdi_serial(bus, board)), {}, {}, 0, 0,
                            QString::fromUtf8(emulated_ftdi_port(bus, board))};
    const NamedBoard* named = conf_ ? conf_->board(device) : nullptr;
    return named ? named->rules : BoardRules{};
}

QString Monitor::check(const EmulatedFtdiBus* bus)
{
    QString report;
    QMap<int, QList<EmulatedFtdiEvent>> histories;
    for (int board = 0; board < emulated_ftdi_board_count(bus); ++board) {
        QList<EmulatedFtdiEvent> events(qsizetype(emulated_ftdi_history(bus, board, nullptr, 0)));
        events.resize(qsizetype(emulated_ftdi_history(bus, board, events.data(), size_t(events.size()))));
        report += checkBoard(bus, board, events, checked_.value(board));
        checked_[board] = events.size();
        histories[board] = events;
    }
    for (const Pulse& p : std::exchange(pulses_, {}))
        report += checkPulse(p, histories.value(p.board), rulesOf(bus, p.board));
    return report;
}

// The events around index at, and what broke there.
static QString around(const QList<EmulatedFtdiEvent>& events, qsizetype at, qint64 origin, bool invert, const QString& rule)
{
    QString out = "  " + rule + "\n    time from the test's start, what happened, then claimed mode mask latch pins, and the relays on (relay 1 first):\n";
    for (qsizetype i = std::max<qsizetype>(0, at - 8); i < std::min(events.size(), at + 5); ++i) {
        const EmulatedFtdiEvent& e = events[i];
        const QString cause = QString::fromLatin1(Causes[e.cause]).leftJustified(10);
        out += QStringLiteral("    %1 %2 %3 %4 %5 %6 %7 %8 %9\n")
                   .arg(i == at ? "->" : "  ", ms(e.time_us - origin).rightJustified(12), cause, e.claimed ? "yes" : "no ")
                   .arg(hex(e.mode), hex(e.mask), hex(e.latch), hex(e.pins), bits(relays(e, invert)));
    }
    return out;
}

QString Monitor::checkBoard(const EmulatedFtdiBus* bus, int board, const QList<EmulatedFtdiEvent>& events, qsizetype from) const
{
    const BoardRules rules = rulesOf(bus, board);
    const qint64 dead = qint64(rules.deadTimeMs) * 1000;
    QString report;
    int broken = 0;
    const auto broke = [&](qsizetype at, const QString& rule) {
        if (at >= from && broken++ < 3)
            report += around(events, at, origin_, rules.invert, QStringLiteral("board %1 (%2): ").arg(board).arg(emulated_ftdi_serial(bus, board)) + rule);
    };
    std::array<std::optional<qint64>, 8> offAt;     // when each relay last went off
    std::array<qsizetype, 8> offEvent{};             // and at which event
    for (qsizetype i = 1; i < events.size(); ++i) {
        const EmulatedFtdiEvent& e = events[i];
        const std::uint8_t was = relays(events[i - 1], rules.invert), now = relays(e, rules.invert);
        if (was != now && !byWrite(e))
            broke(i, QStringLiteral("rule 3 broken: relays changed (%1 -> %2) through %3%4, not a byte written in bit-bang mode while claimed")
                         .arg(bits(was), bits(now), QLatin1String(Causes[e.cause]), e.claimed ? "" : " while not claimed"));
        for (const QList<int>& group : rules.interlocks) {
            std::uint8_t mask = 0;
            for (const int r : group)
                mask |= std::uint8_t(1u << (r - 1));
            if (std::popcount(unsigned(now & mask)) > 1 && std::popcount(unsigned(was & mask)) <= 1)
                broke(i, "rule 1 broken: two relays of the interlock group " + bits(mask) + " are on at once");
            for (const int r : group) {
                for (const int o : group) {
                    const auto other = std::size_t(o - 1);
                    if (!(now & ~was & (1u << (r - 1))) || o == r || !offAt[other])
                        continue;
                    const qint64 waited = e.time_us - *offAt[other];
                    if (waited < dead)
                        broke(i, QStringLiteral("rule 2 broken: relay %1 made %2 after relay %3 went off; dead_time_ms is %4")
                                     .arg(r).arg(ms(waited)).arg(o).arg(rules.deadTimeMs));
                    // A make that waited: its break in the same claim and no request between.
                    bool sameRequest = true;
                    for (qsizetype k = offEvent[other] + 1; k < i && sameRequest; ++k)
                        sameRequest = events[k].claimed && events[k].cause != EMULATED_FTDI_WRITE;
                    for (const qint64 t : requests_)
                        sameRequest = sameRequest && !(t > *offAt[other] && t < e.time_us);
                    if (sameRequest && waited > dead + BoundUs)
                        broke(i, QStringLiteral("rule 2 broken: relay %1 made %2 after its wait for relay %3's dead time ended (at most 250 ms)")
                                     .arg(r).arg(ms(waited - dead)).arg(o));
                }
            }
        }
        for (int r = 0; r < 8; ++r)
            if (was & ~now & (1u << r))
                offAt[std::size_t(r)] = e.time_us, offEvent[std::size_t(r)] = i;
    }
    return report;
}

QString Monitor::checkPulse(const Pulse& p, const QList<EmulatedFtdiEvent>& events, const BoardRules& rules) const
{
    const std::uint8_t bit = std::uint8_t(1u << (p.relay - 1));
    const auto on = [&](qsizetype i) { return (relays(events[i], rules.invert) & bit) != 0; };
    const bool first = !p.cycle;
    qsizetype start = -1, end = -1;
    for (qsizetype i = 1; i < events.size() && end < 0; ++i) {
        if (events[i].time_us <= p.afterUs || on(i) == on(i - 1))
            continue;
        if (start < 0 && on(i) == first)
            start = i;
        else if (start >= 0)
            end = i;
    }
    const QString what = QStringLiteral("the %1 of relay %2 for %3 ms").arg(p.cycle ? "cycle" : "pulse").arg(p.relay).arg(p.ms);
    if (start < 0)
        return {};  // it never started (refused)
    // One the test ended early by a signal must have ended by now, whenever the program got to it.
    const qint64 began = events[start].time_us, latest = p.cutUs ? std::numeric_limits<qint64>::max() : began + qint64(p.ms) * 1000 + BoundUs;
    if (end < 0)
        return around(events, start, origin_, rules.invert, QStringLiteral("rule 4 broken on board %1: %2 never ended; its first edge:").arg(p.board).arg(what));
    const qint64 took = events[end].time_us - began;
    if (events[end].time_us > latest || (!p.cutUs && took < qint64(p.ms) * 1000))
        return around(events, end, origin_, rules.invert, QStringLiteral("rule 4 broken on board %1: %2 lasted %3").arg(p.board).arg(what, ms(took)));
    return {};
}

void MonitoredBus::start()
{
    if (!emulated_ftdi_available())
        qFatal("umockdev's preload library is not active: run this test through umockdev-wrapper");
    bus.reset(emulated_ftdi_bus_new());
    QVERIFY(bus);
    monitor = std::make_unique<Monitor>();
}

void MonitoredBus::finish()
{
    const QString report = bus && monitor ? monitor->check(bus.get()) : QString();
    bus.reset();
    QVERIFY2(report.isEmpty(), qPrintable("the boards broke a safety rule:\n" + report));
}

std::vector<std::uint8_t> MonitoredBus::written(int board) const
{
    std::vector<std::uint8_t> bytes(emulated_ftdi_written(get(), board, nullptr, 0));
    bytes.resize(emulated_ftdi_written(get(), board, bytes.data(), bytes.size()));
    return bytes;
}
QByteArray MonitoredBus::pins(int board) const { return RelayPattern::toText(emulated_ftdi_pins(get(), board)); }

}  // namespace safety
