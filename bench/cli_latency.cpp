// kestrune-cli from process start to exit against an emulated board: "on 1"
// and "list", beside /bin/true in the same run (median of 20 each, taken in
// turns). Then how play keeps time: a program of 6,000 steps lasting 60 s,
// at 1 ms and at 10 ms a tick, once idle and once beside a process of ours
// keeping a core busy; each time kestrune-cli plays it on the emulated board
// while the window's runner (the window session on a simulated board, in
// this process) plays it too, and both are reported side by side: how late
// the end was, the largest lateness of a step, the steps written late (1 ms
// or more). Starts itself again under umockdev-wrapper when umockdev's
// preload library is not active.
//
//   cli_latency [SECONDS]   the play's length, 60 unless given
#include "bench_common.h"
#include "emulated_ftdi.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double runOnce(const QString& program, const QStringList& arguments)
{
    QProcess process;
    const auto t0 = Clock::now();
    process.start(program, arguments);
    if (!process.waitForFinished(10000) || process.exitCode() != 0) {
        std::fprintf(stderr, "cli_latency: %s %s failed: %s\n", qPrintable(program),
                     qPrintable(arguments.join(u' ')), process.readAllStandardError().constData());
        std::exit(1);
    }
    return msSince(t0);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

QByteArray loadAverage()
{
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    return loadavg.open(QIODevice::ReadOnly) ? loadavg.readAll().split(' ').value(0) : "?";
}

struct Figures {
    long long steps = 0;
    long long late = 0;
    double largest = 0;  // ms
    double end = 0;      // ms
    QString text() const
    {
        return QStringLiteral("%1 steps, end %2 ms late, largest step lateness %3 ms, %4 written late")
            .arg(steps).arg(end, 0, 'f', 2).arg(largest, 0, 'f', 2).arg(late);
    }
};

// The figures kestrune-cli play reports on its last line.
Figures fromSummary(const QByteArray& said)
{
    static const QRegularExpression line(QStringLiteral(
        R"(kestrune-cli: (\d+) steps, (\d+) written late, largest lateness ([0-9.]+) ms, ended ([0-9.]+) ms late)"));
    const QRegularExpressionMatch m = line.match(QString::fromUtf8(said));
    if (!m.hasMatch()) {
        std::fprintf(stderr, "cli_latency: no summary from play: %s\n", said.constData());
        std::exit(1);
    }
    return {m.captured(1).toLongLong(), m.captured(2).toLongLong(), m.captured(3).toDouble(), m.captured(4).toDouble()};
}

// Plays steps of `duration` ticks of tickMs for `seconds` s with kestrune-cli
// and with the window's runner at the same time; prints one line.
void playSideBySide(const QString& cli, int seconds, int tickMs, int duration, bool busy)
{
    const int steps = seconds * 1000 / (tickMs * duration);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("steps.txt"));
    QFile file(path);
    std::vector<QByteArray> rows;
    if (!file.open(QIODevice::WriteOnly))
        std::exit(1);
    for (int i = 0; i < steps; ++i) {
        QByteArray pattern(8, '0');
        pattern[i % 8] = '1';
        rows.push_back(pattern + '-' + QByteArray::number(duration));
        file.write(rows.back() + "\r\n");
    }
    file.close();

    QProcess burner;  // a core kept busy
    if (busy)
        burner.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("while :; do :; done")});

    bench::SessionRig rig(1);
    WindowSession& s = *rig.session;
    s.program.replaceAll(rows);
    s.setResolution(tickMs);
    Clock::time_point lastTick;
    QObject::connect(&s.tickTimer, &TickTimer::timeout, [&] { lastTick = Clock::now(); });

    QProcess play;
    play.setStandardOutputFile(QProcess::nullDevice());
    play.start(cli, {QStringLiteral("play"), path, QStringLiteral("--tick"), QString::number(tickMs)});
    rig.library.clearLog();
    const auto t0 = Clock::now();
    s.startOrStop();  // Start: plays row 0 at once
    while (s.runActive() || play.state() != QProcess::NotRunning)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    const QByteArray load = loadAverage();
    if (busy)
        burner.kill(), burner.waitForFinished();
    if (play.exitStatus() != QProcess::NormalExit || play.exitCode() != 0) {
        std::fprintf(stderr, "cli_latency: play failed: %s\n", play.readAllStandardError().constData());
        std::exit(1);
    }
    const Figures cliFigures = fromSummary(play.readAllStandardError());

    Figures window;
    for (const auto& call : rig.library.calls()) {
        if (call.op != SimulatedLibrary::Op::Write)
            continue;
        const double late = std::chrono::duration<double, std::milli>(call.at - t0).count() -
                            double(window.steps) * duration * tickMs;
        window.largest = std::max(window.largest, late);
        window.late += late >= 1.0;
        ++window.steps;
    }
    window.end = std::chrono::duration<double, std::milli>(lastTick - t0).count() - double(steps) * duration * tickMs;
    std::printf("cli_latency: play %d s at %d ms a tick (%d steps of %d), %s: kestrune-cli %s | window's runner %s "
                "(load %s)\n",
                seconds, tickMs, steps, duration, busy ? "a core kept busy" : "idle", qPrintable(cliFigures.text()),
                qPrintable(window.text()), load.constData());
    std::fflush(stdout);
}
}  // namespace

int main(int argc, char* argv[])
{
    if (!emulated_ftdi_available()) {
        char wrapper[] = UMOCKDEV_WRAPPER;
        char* again[] = {wrapper, argv[0], argc > 1 ? argv[1] : nullptr, nullptr};
        ::execv(wrapper, again);
        std::perror("cli_latency: " UMOCKDEV_WRAPPER);
        return 1;
    }
    QCoreApplication app(argc, argv);
    EmulatedFtdiBus* bus = emulated_ftdi_bus_new();
    if (!bus || emulated_ftdi_add_board(bus, "KB-0001") < 0)
        return 1;
    const QString cli = QStringLiteral(KESTRUNE_CLI);
    const QString truth = QStringLiteral("/bin/true");

    runOnce(cli, {QStringLiteral("off"), QStringLiteral("all")});  // warm the file cache
    std::vector<double> on, list, nothing;
    for (int run = 0; run < 20; ++run) {
        nothing.push_back(runOnce(truth, {}));
        list.push_back(runOnce(cli, {QStringLiteral("list")}));
        on.push_back(runOnce(cli, {QStringLiteral("on"), QStringLiteral("1")}));
    }

    std::printf("cli_latency: on 1 %.1f ms, list %.1f ms, /bin/true %.1f ms (median of 20, under umockdev)\n",
                median(on), median(list), median(nothing));
    std::fflush(stdout);
    // The machine may be shared: the load average goes with each figure.
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    for (const bool busy : {false, true}) {
        playSideBySide(cli, seconds, 1, 10, busy);
        playSideBySide(cli, seconds, 10, 1, busy);
    }
    emulated_ftdi_bus_free(bus);
    return 0;
}
