// Plays a program at 1 ms resolution on a simulated board, with the window
// session alone (no window, no QApplication), and measures when each tick
// happens and each byte reaches the board; then what one tick costs with a
// short and a very long program. Last, the ticks delivered in 2 s at 1 ms by
// the session alone beside the same with the window shown on an X server: the
// window part runs in a child process (this program with --window), as it
// needs a QApplication on the xcb platform.
//
//   runner_timing             all figures, one line
//   runner_timing --window    the child: "window <ticks> <missed>"
#include "bench_common.h"

#include "window/main_window.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstring>

using Clock = std::chrono::steady_clock;

namespace {

constexpr int WindowedMs = 2000;

// rows steps of duration ticks, one relay each in turn.
std::vector<QByteArray> program(int rows, int duration)
{
    std::vector<QByteArray> program;
    program.reserve(static_cast<std::size_t>(rows));
    for (int i = 0; i < rows; ++i) {
        QByteArray pattern(8, '0');
        pattern[i % 8] = '1';
        program.push_back(pattern + '-' + QByteArray::number(duration));
    }
    return program;
}

// Median cost of one tick in microseconds, over `ticks` ticks.
double tickCost(int rows, int ticks)
{
    bench::SessionRig rig(1);
    WindowSession& s = *rig.session;
    rig.library.setLogging(false);
    s.program.replaceAll(program(rows, 3));
    s.setRepeat(true);
    s.startOrStop();
    s.tickTimer.setEnabled(false);  // ticks are driven by hand here
    std::vector<double> costs;
    costs.reserve(static_cast<std::size_t>(ticks));
    for (int i = 0; i < ticks; ++i) {
        const auto t0 = Clock::now();
        s.tick();
        costs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return bench::percentile(costs, 0.5);
}

struct TickCount {
    long long ticks = 0;
    unsigned long long missed = 0;
};

// Plays eight 10-tick steps over and over at 1 ms for ms milliseconds of the
// event loop and counts the ticks; the session's timer must already drive it.
TickCount ticksIn(WindowSession& s, int ms)
{
    s.program.replaceAll(program(8, 10));
    s.setResolution(1);
    s.setRepeat(true);
    TickCount count;
    const auto missedBefore = s.tickTimer.missedTicks();
    const auto counter = QObject::connect(&s.tickTimer, &TickTimer::timeout, [&] { ++count.ticks; });
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    s.startOrStop();  // Start
    loop.exec();
    s.startOrStop();  // Stop
    QObject::disconnect(counter);
    count.missed = s.tickTimer.missedTicks() - missedBefore;
    return count;
}

// The child: the window shown on an X server, playing as above.
int windowChild(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        std::fprintf(stderr, "runner_timing --window: not on an X server (platform %s)\n",
                     qPrintable(QGuiApplication::platformName()));
        return 3;
    }
    bench::WorkDir work;
    SimulatedLibrary library;
    library.addBoard();
    MainWindow form(library);
    form.TabbedNotebook1->setCurrentIndex(2);  // the timer page: bars, lamps, program, count
    form.show();
    if (!QTest::qWaitForWindowExposed(&form)) {
        std::fprintf(stderr, "runner_timing --window: the window was never exposed\n");
        return 3;
    }
    const TickCount count = ticksIn(form.session(), WindowedMs);
    std::printf("window %lld %llu\n", count.ticks, count.missed);
    std::fflush(stdout);  // before anything at exit can end the process
    return 0;
}

// Runs the child on the X server named by DISPLAY; "n/a" without one.
QString windowFigure()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return QStringLiteral("n/a with the window shown (no X server)");
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--window")});
    if (!child.waitForFinished(WindowedMs + 30000)) {
        child.kill();
        child.waitForFinished();
        return QStringLiteral("n/a with the window shown (the window run did not end)");
    }
    // The figure stands once printed; the exit code is not looked at, as
    // a leak checker may report the X and D-Bus libraries' own allocations.
    const QList<QByteArray> words = child.readAllStandardOutput().trimmed().split(' ');
    if (child.exitStatus() != QProcess::NormalExit || words.size() != 3 || words[0] != "window")
        return QStringLiteral("n/a with the window shown (no window on an X server)");
    return QStringLiteral("%1 with the window shown on X (%2 missed)")
        .arg(QString::fromLatin1(words[1]), QString::fromLatin1(words[2]));
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc > 1 && std::strcmp(argv[1], "--window") == 0)
        return windowChild(argc, argv);

    QCoreApplication app(argc, argv);
    bench::WorkDir work;

    // 10 rows of 600 ticks: 6,000 ticks at 1 ms.
    constexpr int Rows = 10;
    constexpr int Duration = 600;
    constexpr int Resolution = 1;
    bench::SessionRig rig(1);
    WindowSession& s = *rig.session;
    s.program.replaceAll(program(Rows, Duration));

    std::vector<Clock::time_point> ticks;
    ticks.reserve(Rows * Duration + 16);
    QObject::connect(&s.tickTimer, &TickTimer::timeout, [&] { ticks.push_back(Clock::now()); });

    rig.library.clearLog();
    const auto start = Clock::now();
    s.startOrStop();  // Start: plays row 0 on
    while (s.runActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const auto end = ticks.empty() ? Clock::now() : ticks.back();
    const auto missed = static_cast<unsigned long long>(s.tickTimer.missedTicks());

    const double ideal = Rows * std::max(Duration, 1) * Resolution;
    const double real = std::chrono::duration<double, std::milli>(end - start).count();
    std::vector<double> periods;
    for (std::size_t i = 1; i < ticks.size(); ++i)
        periods.push_back(std::chrono::duration<double, std::milli>(ticks[i] - ticks[i - 1]).count());

    // Each row's byte must reach the board at its step's start.
    std::vector<double> byteLate;
    std::vector<Clock::time_point> writesAt;
    for (const auto& call : rig.library.calls())
        if (call.op == SimulatedLibrary::Op::Write)
            writesAt.push_back(call.at);
    for (std::size_t i = 1; i < writesAt.size(); ++i) {
        const double expected = static_cast<double>(i) * Duration * Resolution;
        byteLate.push_back(std::chrono::duration<double, std::milli>(writesAt[i] - writesAt[0]).count() - expected);
    }

    const double cost10 = tickCost(10, 20000);
    const double cost100k = tickCost(100000, 20000);

    // Ticks in 2 s: the session alone here, then the window in a child.
    TickCount alone;
    {
        bench::SessionRig quiet(1);
        quiet.library.setLogging(false);
        alone = ticksIn(*quiet.session, WindowedMs);
    }
    const QString windowed = windowFigure();

    std::printf("runner_timing: session without a window, %zu ticks at %d ms, real/ideal total %.4f "
                "(%.1f / %.0f ms), tick period median %.4f ms p99 %.4f ms, missed %llu, last byte "
                "%+.2f ms late, tick cost median %.2f us (10 rows) %.2f us (100000 rows); ticks in "
                "%d s at 1 ms: %lld without a window (%llu missed), %s\n",
                ticks.size(), Resolution, real / ideal, real, ideal, bench::percentile(periods, 0.5),
                bench::percentile(periods, 0.99), missed, byteLate.empty() ? 0.0 : byteLate.back(),
                cost10, cost100k, WindowedMs / 1000, alone.ticks, alone.missed, qPrintable(windowed));
    return rig.errors == 0 ? 0 : 1;
}
