// kestrune: the relay board controller on real boards.
#include "window/run_window.h"
#include "engine/device/ftdi_library.h"

int main(int argc, char* argv[])
{
    return runWindow(argc, argv, [] {
        FtdiLibrary library;
        MainWindow form(library);
        form.show();
        QApplication::exec();
    });
}
