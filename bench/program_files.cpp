// Saves and opens a 100,000-row program through the window (its file
// dialogs answered as an operator would), then compares clicking the last
// row of the program grid with clicking the first.
#include "bench_common.h"

#include "window/main_window.h"
#include "window/widgets/program_grid.h"
#include "window/widgets/program_model.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cstdio>

using Clock = std::chrono::steady_clock;

namespace {

// Answers the next file dialog with path, from inside its event loop.
void answerFileDialog(const QString& path)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, path] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        poll->stop();
        poll->deleteLater();
        if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            name->setText(path);
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    });
    poll->start(5);
}

// Clicks a row of the program grid as the operator does.
void clickRow(MainWindow& form, int row)
{
    const QModelIndex index = form.programModel->index(row, 0);
    form.StringGrid4->scrollTo(index);
    QTest::mouseClick(form.StringGrid4->viewport(), Qt::LeftButton, {},
                      form.StringGrid4->visualRect(index).center());
}

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

    SimulatedLibrary library;
    library.addBoard();
    MainWindow form(library);
    WindowSession& s = form.session();
    std::vector<QByteArray> program;
    program.reserve(Rows);
    for (int i = 0; i < Rows; ++i)
        program.push_back(QByteArray::number(i % 256, 2).rightJustified(8, '0') + '-' +
                          QByteArray::number(i % 10000));
    s.program.replaceAll(program);
    form.show();
    form.TabbedNotebook1->setCurrentIndex(2);
    (void)QTest::qWaitForWindowExposed(&form);

    const QString path = work.file(QStringLiteral("big"));
    auto t0 = Clock::now();
    {
        answerFileDialog(path);
        form.saveFile();
    }
    const double saveMs = msSince(t0);

    form.Button22->click();  // Clear all, so the open has work to do
    t0 = Clock::now();
    {
        answerFileDialog(path + QStringLiteral(".txt"));
        form.openFile();
    }
    const double openMs = msSince(t0);
    const int opened = s.program.count();
    const bool same = s.program.rows() == program;

    // Selecting rows afterwards: the last one must cost no more than the first.
    auto selectCost = [&](int row) {
        std::vector<double> costs;
        for (int i = 0; i < 200; ++i) {
            s.program.setCurrent(row == 0 ? 1 : row - 1);
            const auto writes = library.writes(0).size();
            const auto t = Clock::now();
            clickRow(form, row);
            costs.push_back(msSince(t));
            if (library.writes(0).size() != writes + 1 || s.currentRow() != row ||
                form.StringGrid4->currentRow() != row)
                std::fprintf(stderr, "program_files: the click on row %d did not load it\n", row);
        }
        return bench::percentile(costs, 0.5);
    };
    const double first = selectCost(0);
    const double last = selectCost(Rows - 1);

    std::printf("program_files: through the window's dialogs and grid, %d rows, save %.1f ms, "
                "open %.1f ms (%d rows, %s), select first %.3f ms, last %.3f ms (ratio %.2f)\n",
                Rows, saveMs, openMs, opened, same ? "identical" : "DIFFERENT", first, last,
                last / first);
    return 0;
}
