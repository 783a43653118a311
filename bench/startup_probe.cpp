// Builds the window the way kestrune (--real) or kestrune-demo (--demo)
// does, reports "shown <resident MB>" once it is first shown, and quits.
#include "window/board_view.h"
#include "window/main_window.h"
#include "bench_common.h"
#include "engine/device/ftdi_library.h"
#include "engine/device/simulated_library.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {
class ShowWatcher : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && !reported_) {
            reported_ = true;
            // Let the first paint happen, then report.
            QTimer::singleShot(0, [] {
                std::printf("shown %.1f\n", bench::residentMB());
                std::fflush(stdout);
                QCoreApplication::quit();
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool reported_ = false;
};
}  // namespace

int main(int argc, char* argv[])
{
    const bool demo = argc > 1 && std::strcmp(argv[1], "--demo") == 0;
    bench::preferOffscreen();
    QApplication app(argc, argv);
    ShowWatcher watcher;
    if (demo) {
        SimulatedLibrary library;
        library.addBoard();
        library.addBoard();
        MainWindow form(library);
        BoardView view(library);
        form.installEventFilter(&watcher);
        form.show();
        view.show();
        return QApplication::exec();
    }
    FtdiLibrary library;
    MainWindow form(library);
    form.installEventFilter(&watcher);
    form.show();
    return QApplication::exec();
}
