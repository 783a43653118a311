// Plays a program at 1 ms resolution on a simulated board and measures when
// each tick happens and each byte reaches the board; then measures what one
// tick costs with a short and a very long program.
#include "bench_common.h"

#include <QElapsedTimer>

#include <chrono>
#include <cstdio>

using Clock = std::chrono::steady_clock;

namespace {

void loadProgram(bench::Rig& rig, int rows, int duration)
{
    std::vector<QByteArray> program;
    for (int i = 0; i < rows; ++i) {
        QByteArray pattern(8, '0');
        pattern[i % 8] = '1';
        program.push_back(pattern + '-' + QByteArray::number(duration));
    }
    rig.form->programModel->replaceAll(std::move(program));
    rig.form->StringGrid4->setCurrentRow(0);
}

// Median cost of one tick in microseconds, over `ticks` ticks.
double tickCost(int rows, int ticks)
{
    bench::Rig rig(1);
    rig.library.setLogging(false);
    loadProgram(rig, rows, 3);
    rig.form->CheckBox1->setChecked(true);
    rig.form->Button34Click();
    rig.form->Timer1->setEnabled(false);  // ticks are driven by hand here
    std::vector<double> costs;
    costs.reserve(static_cast<std::size_t>(ticks));
    for (int i = 0; i < ticks; ++i) {
        const auto t0 = Clock::now();
        rig.form->Timer1Timer();
        costs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return bench::percentile(costs, 0.5);
}

}  // namespace

int main(int argc, char* argv[])
{
    bench::preferOffscreen();
    QApplication app(argc, argv);
    bench::WorkDir work;

    // 10 rows of 600 ticks: 6,000 ticks at 1 ms.
    constexpr int Rows = 10;
    constexpr int Duration = 600;
    constexpr int Resolution = 1;
    bench::Rig rig(1);
    loadProgram(rig, Rows, Duration);
    rig.form->StringGrid4->setCurrentRow(1);  // so Start plays row 0

    std::vector<Clock::time_point> ticks;
    ticks.reserve(Rows * Duration + 16);
    QObject::connect(rig.form->Timer1, &TickTimer::timeout, [&] { ticks.push_back(Clock::now()); });

    rig.library.clearLog();
    const auto start = Clock::now();
    rig.form->Button34Click();
    while (rig.form->runActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const auto end = ticks.empty() ? Clock::now() : ticks.back();

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

    std::printf("runner_timing: %zu ticks at %d ms, real/ideal total %.4f (%.1f / %.0f ms), "
                "tick period median %.4f ms p99 %.4f ms, missed %llu, last byte %+.2f ms late, "
                "tick cost median %.2f us (10 rows) %.2f us (100000 rows)\n",
                ticks.size(), Resolution, real / ideal, real, ideal, bench::percentile(periods, 0.5),
                bench::percentile(periods, 0.99),
                static_cast<unsigned long long>(rig.form->Timer1->missedTicks()),
                byteLate.empty() ? 0.0 : byteLate.back(), cost10, cost100k);
    return 0;
}
