// Soak run: plays a repeating program at 1 ms resolution on the real tick
// timer with a simulated board for a given time, on the window session
// alone (no window, no QApplication), then reports the ticks delivered and
// the resident memory at the start and at the end.
//
//   soak [seconds]      (default 1800)
#include "bench_common.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

// Eight steps, one relay each, with short and zero durations mixed in.
const char* const Program[] = {
    "10000000-3", "01000000-0", "00100000-7", "00010000-1",
    "00001000-12", "00000100-2", "00000010-5", "00000001-40",
};

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);

    int seconds = 1800;
    if (argc > 1) {
        bool ok = false;
        seconds = QString::fromLocal8Bit(argv[1]).toInt(&ok);
        if (!ok || seconds <= 0) {
            std::fprintf(stderr, "usage: soak [seconds]   (a whole number above 0)\n");
            return 2;
        }
    }

    bench::WorkDir work;
    bench::SessionRig rig(1);
    WindowSession& s = *rig.session;
    // A soak must not measure the simulated board's own records: keep no
    // call log, and drop the written bytes once a second.
    rig.library.setLogging(false);
    long long bytesWritten = 0;
    int lastByte = -1;
    rig.library.setWriteObserver([&](int, std::uint8_t byte) {
        ++bytesWritten;
        lastByte = byte;
    });
    QTimer trim;
    QObject::connect(&trim, &QTimer::timeout, [&] { rig.library.clearLog(); });
    trim.start(1000);

    std::vector<QByteArray> program(std::begin(Program), std::end(Program));
    s.pickBoard(0);  // the operator picks the first board
    s.program.replaceAll(program);
    s.setRepeat(true);
    const int resolution = s.tickTimer.interval();

    long long ticks = 0;
    QObject::connect(&s.tickTimer, &TickTimer::timeout, [&] { ++ticks; });

    bool stillRunning = false;
    QTimer::singleShot(seconds * 1000, Qt::PreciseTimer, [&] {
        stillRunning = s.runActive();
        s.guarded([&] { s.startOrStop(); });  // Stop
        app.quit();
    });

    const double rssStart = bench::residentMB();
    QElapsedTimer clock;
    clock.start();
    s.guarded([&] { s.startOrStop(); });  // Start
    app.exec();
    const double rssEnd = bench::residentMB();
    const double elapsed = static_cast<double>(clock.elapsed()) / 1000.0;

    std::printf("soak: %d s at %d ms, %lld ticks, rss start %.1f MB end %.1f MB"
                " (%lld bytes written, %llu ticks missed, %.1f s elapsed)\n",
                seconds, resolution, ticks, rssStart, rssEnd, bytesWritten,
                static_cast<unsigned long long>(s.tickTimer.missedTicks()), elapsed);

    // The run must still have been going, with the program as it was loaded
    // and the board showing the current row.
    bool healthy = stillRunning && rig.errors == 0;
    for (std::size_t i = 0; i < program.size(); ++i)
        healthy = healthy && s.program.text(static_cast<int>(i)) == program[i];
    const QByteArray current = s.program.text(s.currentRow());
    int expected = 0;
    for (int relay = 1; relay <= 8; ++relay)
        if (current.at(relay - 1) != '0')
            expected |= 1 << (relay - 1);
    healthy = healthy && lastByte == expected;
    if (!healthy) {
        std::fprintf(stderr, "soak: the run did not hold up (running %d, errors %d, last byte %d)\n",
                     stillRunning, rig.errors, lastByte);
        return 1;
    }
    return 0;
}
