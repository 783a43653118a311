// How long kestrune-cli's pulses really are on an emulated board: this
// process watches the board's pins every 50 us while `pulse 1 --for N`
// runs, from relay 1's on edge to its off edge, and prints the error
// (measured minus asked) per length: min, median and max of the runs.
// Starts itself again under umockdev-wrapper when umockdev's preload
// library is not active.
#include "emulated_ftdi.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

// The time relay 1's pin of board reaches level, or nothing after 10 s.
bool waitFor(const EmulatedFtdiBus* bus, int board, bool level, Clock::time_point& at)
{
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end) {
        if (bool(emulated_ftdi_pins(bus, board) & 0x01) == level) {
            at = Clock::now();
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return false;
}
}  // namespace

int main(int argc, char* argv[])
{
    if (!emulated_ftdi_available()) {
        char wrapper[] = UMOCKDEV_WRAPPER;
        char* again[] = {wrapper, argv[0], nullptr};
        ::execv(wrapper, again);
        std::perror("pulse_length: " UMOCKDEV_WRAPPER);
        return 1;
    }
    QCoreApplication app(argc, argv);
    EmulatedFtdiBus* bus = emulated_ftdi_bus_new();
    const int board = bus ? emulated_ftdi_add_board(bus, "KB-0002") : -1;
    if (board < 0)
        return 1;
    std::string summary;
    for (const auto& [ms, runs] : {std::pair{20, 10}, {200, 10}, {1000, 5}}) {
        std::vector<double> errors;
        for (int run = 0; run < runs; ++run) {
            QProcess cli;
            cli.start(QStringLiteral(KESTRUNE_CLI),
                      {QStringLiteral("pulse"), QStringLiteral("1"), QStringLiteral("--for"), QString::number(ms) + QStringLiteral("ms")});
            Clock::time_point on, off;
            if (!waitFor(bus, board, true, on) || !waitFor(bus, board, false, off) || !cli.waitForFinished(10000) ||
                cli.exitCode() != 0) {
                std::fprintf(stderr, "pulse_length: a pulse of %d ms failed: %s\n", ms, cli.readAllStandardError().constData());
                return 1;
            }
            errors.push_back(std::chrono::duration<double, std::milli>(off - on).count() - ms);
        }
        std::sort(errors.begin(), errors.end());
        char line[160];
        std::snprintf(line, sizeof line, "%s%d ms: %+.2f/%+.2f/%+.2f ms", summary.empty() ? "" : "; ", ms, errors.front(),
                      errors[errors.size() / 2], errors.back());
        summary += line;
    }
    // A busy machine delays the watcher as much as the pulse: the load goes with the figure.
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    const QByteArray load = loadavg.open(QIODevice::ReadOnly) ? loadavg.readAll().split(' ').value(0) : "?";
    std::printf("pulse_length: error of kestrune-cli pulse (measured - asked; min/median/max, watched every 50 us "
                "under umockdev): %s (load %s)\n",
                summary.c_str(), load.constData());
    emulated_ftdi_bus_free(bus);
    return 0;
}
