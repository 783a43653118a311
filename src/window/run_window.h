#pragma once

#include "window/main_window.h"

#include <QApplication>
#include <QMessageBox>

#include <exception>

// Runs the message loop over a window built by makeWindow. An error that
// escapes is shown in an error box; the process then ends normally, with
// status 0, as the window's described behaviour has it.
template <typename MakeWindow>
int runWindow(int argc, char* argv[], MakeWindow makeWindow)
{
    QApplication app(argc, argv);
    try {
        makeWindow();
    } catch (const std::exception& error) {
        QMessageBox::critical(nullptr, QStringLiteral("Kestrune"), QString::fromLocal8Bit(error.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, QStringLiteral("Kestrune"), QString());
    }
    return 0;
}
