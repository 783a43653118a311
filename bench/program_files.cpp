// Saves and opens a 100,000-row program through the window, then compares
// selecting the last row with selecting the first.
#include "bench_common.h"

#include <chrono>
#include <cstdio>

using Clock = std::chrono::steady_clock;

namespace {
double msSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}
}  // namespace

int main(int argc, char* argv[])
{
    bench::preferOffscreen();
    QApplication app(argc, argv);
    bench::WorkDir work;
    constexpr int Rows = 100000;

    bench::Rig rig(1);
    std::vector<QByteArray> program;
    program.reserve(Rows);
    for (int i = 0; i < Rows; ++i)
        program.push_back(QByteArray::number(i % 256, 2).rightJustified(8, '0') + '-' +
                          QByteArray::number(i % 10000));
    rig.form->programModel->replaceAll(program);
    rig.form->StringGrid4->setCurrentRow(0);
    rig.form->show();
    rig.form->TabbedNotebook1->setCurrentIndex(2);
    (void)QTest::qWaitForWindowExposed(rig.form.get());

    const QString path = work.file(QStringLiteral("big"));
    auto t0 = Clock::now();
    {
        bench::answerFileDialog(path);
        rig.form->Button20Click();
    }
    const double saveMs = msSince(t0);

    rig.form->Button22Click();  // Clear all, so the open has work to do
    t0 = Clock::now();
    {
        bench::answerFileDialog(path + QStringLiteral(".txt"));
        rig.form->Button19Click();
    }
    const double openMs = msSince(t0);
    const int opened = rig.form->programModel->count();
    const bool same = rig.form->programModel->rows() == program;

    // Selecting rows afterwards: the last one must cost no more than the first.
    auto selectCost = [&](int row) {
        std::vector<double> costs;
        for (int i = 0; i < 200; ++i) {
            rig.form->StringGrid4->setCurrentRow(row == 0 ? 1 : row - 1);
            const auto writes = rig.library.writes(0).size();
            const auto s = Clock::now();
            bench::clickRow(*rig.form, row);
            costs.push_back(msSince(s));
            if (rig.library.writes(0).size() != writes + 1 || rig.form->StringGrid4->currentRow() != row)
                std::fprintf(stderr, "program_files: the click on row %d did not load it\n", row);
        }
        return bench::percentile(costs, 0.5);
    };
    const double first = selectCost(0);
    const double last = selectCost(Rows - 1);

    std::printf("program_files: %d rows, save %.1f ms, open %.1f ms (%d rows, %s), "
                "select first %.3f ms, last %.3f ms (ratio %.2f)\n",
                Rows, saveMs, openMs, opened, same ? "identical" : "DIFFERENT", first, last,
                last / first);
    return 0;
}
