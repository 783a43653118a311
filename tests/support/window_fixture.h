#pragma once

// Helpers for driving the main window the way an operator does, on
// simulated boards, in a working directory of its own.

#include "app/color_panel.h"
#include "app/form1.h"
#include "boardlink/board_combo_box.h"
#include "boardlink/simulated_library.h"
#include "labels/form2.h"
#include "labels/limited_edit.h"
#include "timer/program_grid.h"
#include "timer/program_model.h"
#include "timer/tick_timer.h"
#include "timer/up_down.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

namespace fixture {

// A fresh working directory for the label file, entered on construction.
class WorkDir {
public:
    WorkDir() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }
    ~WorkDir() { QDir::setCurrent(previous_); }
    QString path() const { return dir_.path(); }
    QString file(const QString& name) const { return dir_.filePath(name); }

private:
    QString previous_;
    QTemporaryDir dir_;
};

// A window on `boards` simulated boards.
struct Rig {
    explicit Rig(int boardCount = 1, std::function<void(SimulatedLibrary&)> prepare = {})
    {
        for (int i = 0; i < boardCount; ++i)
            library.addBoard();
        if (prepare)
            prepare(library);
        form = std::make_unique<TForm1>(library);
    }
    ~Rig()
    {
        if (form)
            form->Timer1->setEnabled(false);
    }

    template <typename T = QWidget>
    T* find(const char* name) const
    {
        T* w = form->findChild<T*>(QString::fromLatin1(name));
        if (!w)
            qFatal("no control named %s", name);
        return w;
    }
    QPushButton* button(const char* name) const { return find<QPushButton>(name); }
    ColorPanel* panel(const char* name) const { return find<ColorPanel>(name); }

    QString row(int i) const { return QString::fromLatin1(form->programModel->text(i)); }
    int rows() const { return form->programModel->count(); }
    int current() const { return form->StringGrid4->currentRow(); }
    QStringList allRows() const
    {
        QStringList out;
        for (int i = 0; i < rows(); ++i)
            out << row(i);
        return out;
    }
    std::vector<std::uint8_t> writes(int board = 0) const { return library.writes(board); }
    int lastWrite(int board = 0) const
    {
        const auto w = library.writes(board);
        return w.empty() ? -1 : w.back();
    }

    // Indicator colours of relays 1-8, as read back.
    QList<int> indicators() const
    {
        QList<int> out;
        for (int relay = 1; relay <= 8; ++relay)
            out << form->indicator(relay)->color();
        return out;
    }
    // Step bar tops of relays 1-8.
    QList<int> bars() const
    {
        QList<int> out;
        for (int relay = 1; relay <= 8; ++relay)
            out << form->stepBar(relay)->y();
        return out;
    }
    QStringList captions() const
    {
        QStringList out;
        for (int relay = 1; relay <= 8; ++relay)
            out << form->manualButton(relay)->text();
        return out;
    }

    // The operator picks entry `index` of the board list.
    void pickBoard(int index)
    {
        form->ComboBox1->setCurrentIndex(index);
        emit form->ComboBox1->activated(index);
    }

    // The operator clicks row `i` of the program list.
    void clickRow(int i)
    {
        auto* grid = form->StringGrid4;
        grid->scrollTo(form->programModel->index(i, 0));
        const QRect cell = grid->visualRect(form->programModel->index(i, 0));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
    }

    void tick(int n = 1)
    {
        for (int i = 0; i < n; ++i)
            form->Timer1Timer();
    }

    SimulatedLibrary library;
    std::unique_ptr<TForm1> form;
};

inline void click(QWidget* w, Qt::MouseButton b = Qt::LeftButton)
{
    QTest::mouseClick(w, b);
}

// Answers the next modal dialog (file dialog or message box) from inside its
// own event loop. `answer` gets the dialog and must close it.
class DialogAnswerer : public QObject {
public:
    explicit DialogAnswerer(std::function<void(QWidget*)> answer) : answer_(std::move(answer))
    {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || done_)
                return;
            done_ = true;
            timer_.stop();
            answer_(modal);
        });
        timer_.start();
    }
    bool answered() const { return done_; }

private:
    std::function<void(QWidget*)> answer_;
    QTimer timer_;
    bool done_ = false;
};

inline std::function<void(QWidget*)> chooseFile(const QString& path)
{
    return [path](QWidget* w) {
        auto* dialog = qobject_cast<QFileDialog*>(w);
        QVERIFY(dialog);
        // selectFile leaves the name field alone while it has the focus, as
        // it has in a shown dialog: type the name in.
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        name->setText(path);
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    };
}

inline std::function<void(QWidget*)> cancelDialog()
{
    return [](QWidget* w) { QMetaObject::invokeMethod(w, "reject", Qt::QueuedConnection); };
}

// Presses a button of a message box and remembers its text.
inline std::function<void(QWidget*)> pressMessageButton(QMessageBox::StandardButton which,
                                                          QString* text = nullptr)
{
    return [which, text](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        QVERIFY(box);
        if (text)
            *text = box->text();
        QAbstractButton* b = box->button(which);
        if (!b)
            b = box->buttons().value(0);
        QMetaObject::invokeMethod(b, "click", Qt::QueuedConnection);
    };
}

// Lets the event loop run until an error box appears, closes it, and returns
// its text (empty when none appeared).
inline QString takeErrorBox(int timeoutMs = 1000)
{
    QString text;
    DialogAnswerer answer(pressMessageButton(QMessageBox::Ok, &text));
    (void)QTest::qWaitFor([&] { return answer.answered(); }, timeoutMs);
    QTest::qWait(10);
    return text;
}

}  // namespace fixture
