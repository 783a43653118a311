// kestrune: the relay board controller on real boards.
#include "app/form1.h"
#include "boardlink/ftdi_library.h"

#include <QApplication>
#include <QMessageBox>

#include <exception>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    try {
        FtdiLibrary library;
        TForm1 form(library);
        form.show();
        QApplication::exec();
    } catch (const std::exception& error) {
        QMessageBox::critical(nullptr, QStringLiteral("Kestrune"), QString::fromLocal8Bit(error.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, QStringLiteral("Kestrune"), QString());
    }
    return 0;
}
