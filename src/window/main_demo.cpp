// kestrune-demo: the same window on two simulated boards, with a window
// that shows the boards' relays as lamps.
#include "window/board_view.h"
#include "window/run_window.h"
#include "engine/device/simulated_library.h"

int main(int argc, char* argv[])
{
    return runWindow(argc, argv, [] {
        SimulatedLibrary library;
        library.addBoard();
        library.addBoard();
        MainWindow form(library);
        BoardView view(library);
        view.move(form.x(), form.y() + form.frameGeometry().height() + 40);
        form.show();
        view.show();
        QObject::connect(qApp, &QApplication::lastWindowClosed, &view, &QWidget::close);
        QApplication::exec();
    });
}
