// kestrune-demo: the same window on two simulated boards, with a window
// that shows the boards' relays as lamps.
#include "app/board_view.h"
#include "app/form1.h"
#include "boardlink/simulated_library.h"

#include <QApplication>
#include <QMessageBox>

#include <exception>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    try {
        SimulatedLibrary library;
        library.addBoard();
        library.addBoard();
        TForm1 form(library);
        BoardView view(library);
        view.move(form.x(), form.y() + form.frameGeometry().height() + 40);
        form.show();
        view.show();
        QObject::connect(&app, &QApplication::lastWindowClosed, &view, &QWidget::close);
        QApplication::exec();
    } catch (const std::exception& error) {
        QMessageBox::critical(nullptr, QStringLiteral("Kestrune"), QString::fromLocal8Bit(error.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, QStringLiteral("Kestrune"), QString());
    }
    return 0;
}
