#pragma once

#include "app/form1.h"
#include "boardlink/board_combo_box.h"
#include "boardlink/simulated_library.h"
#include "timer/program_grid.h"
#include "timer/program_model.h"
#include "timer/tick_timer.h"

#include <QApplication>
#include <QByteArray>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace bench {

// Runs offscreen unless a platform was chosen.
inline void preferOffscreen()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// Resident memory of this process in MB.
inline double residentMB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

// A fresh working directory, entered for the benchmark's lifetime.
class WorkDir {
public:
    WorkDir() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }
    ~WorkDir() { QDir::setCurrent(previous_); }
    QString file(const QString& name) const { return dir_.filePath(name); }

private:
    QString previous_;
    QTemporaryDir dir_;
};

// The window on simulated boards.
struct Rig {
    explicit Rig(int boards)
    {
        for (int i = 0; i < boards; ++i)
            library.addBoard();
        form = std::make_unique<TForm1>(library);
    }
    ~Rig() { form->Timer1->setEnabled(false); }

    // The operator picks entry index of the board list.
    void pickBoard(int index)
    {
        form->ComboBox1->setCurrentIndex(index);
        emit form->ComboBox1->activated(index);
    }

    SimulatedLibrary library;
    std::unique_ptr<TForm1> form;
};

// Answers the next file dialog with path, from inside its event loop.
inline void answerFileDialog(const QString& path)
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

// Clicks a row of the program list as the operator does.
inline void clickRow(TForm1& form, int row)
{
    const QModelIndex index = form.programModel->index(row, 0);
    form.StringGrid4->scrollTo(index);
    QTest::mouseClick(form.StringGrid4->viewport(), Qt::LeftButton, {},
                      form.StringGrid4->visualRect(index).center());
}

}  // namespace bench
