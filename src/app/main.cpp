// kestrune: the relay board controller on real boards.
#include "app/run_window.h"
#include "boardlink/ftdi_library.h"

int main(int argc, char* argv[])
{
    return runWindow(argc, argv, [] {
        FtdiLibrary library;
        TForm1 form(library);
        form.show();
        QApplication::exec();
    });
}
