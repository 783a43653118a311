// kestrune-cli from process start to exit against an emulated board: "on 1"
// and "list", beside /bin/true in the same run (median of 20 each, taken in
// turns), and a 6,000-tick program played at 1 ms per tick (real/ideal, from
// the first step's line to the process's exit). Starts itself again under
// umockdev-wrapper when umockdev's preload library is not active.
#include "emulated_ftdi.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
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
}  // namespace

int main(int argc, char* argv[])
{
    if (!emulated_ftdi_available()) {
        char wrapper[] = UMOCKDEV_WRAPPER;
        char* again[] = {wrapper, argv[0], nullptr};
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

    // Six steps of 1,000 ticks.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ticks.txt"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    for (const char* row : {"10000000", "01000000", "00100000", "00010000", "00001000", "00000100"})
        file.write(QByteArray(row) + "-1000\r\n");
    file.close();
    QProcess play;
    play.start(cli, {QStringLiteral("play"), path, QStringLiteral("--tick"), QStringLiteral("1")});
    if (!play.waitForReadyRead(10000))
        return 1;
    const auto t0 = Clock::now();
    if (!play.waitForFinished(20000) || play.exitCode() != 0)
        return 1;
    const double ratio = msSince(t0) / 6000.0;

    // Ticks that come late on a busy machine are dropped, so load stretches
    // a program: the one-minute load average goes with the figure.
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    const QByteArray load = loadavg.open(QIODevice::ReadOnly) ? loadavg.readAll().split(' ').value(0) : "?";
    std::printf("cli_latency: on 1 %.1f ms, list %.1f ms, /bin/true %.1f ms (median of 20, under umockdev); "
                "play 6000 ticks at 1 ms: real/ideal %.4f (load %s)\n",
                median(on), median(list), median(nothing), ratio, load.constData());
    emulated_ftdi_bus_free(bus);
    return 0;
}
