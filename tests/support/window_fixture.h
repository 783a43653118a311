#pragma once

// Driving the main window the way an operator does, on simulated boards.

#include "fixture.h"

#include "window/widgets/color_panel.h"
#include "window/main_window.h"
#include "window/widgets/board_combo_box.h"
#include "window/label_dialog.h"
#include "window/widgets/limited_edit.h"
#include "window/widgets/program_grid.h"
#include "window/widgets/program_model.h"
#include "window/widgets/up_down.h"

#include <QtWidgets>

namespace fixture {

inline void click(QWidget* w, Qt::MouseButton b = Qt::LeftButton) { QTest::mouseClick(w, b); }
// Picks entry `index` of "Select Board" as the operator does.
inline void pick(MainWindow& form, int index)
{
    form.ComboBox1->setCurrentIndex(index);
    emit form.ComboBox1->activated(index);
}

// A window on simulated boards, in a working directory of its own, reading
// boardsConf there as its boards.conf when given.
struct Rig {
    explicit Rig(int boards = 1, const QByteArray& boardsConf = {})
    {
        for (int i = 0; i < boards; ++i)
            library.addBoard();
        if (!boardsConf.isEmpty())
            writeFile(work.file("boards.conf"), boardsConf);
        form = std::make_unique<MainWindow>(library, nullptr, work.file("boards.conf"));
        form->session().pause = [](int) {};
    }
    ~Rig() { form->tickTimer->setEnabled(false); }
    WindowSession& s() const { return form->session(); }
    void clickRow(int i)
    {
        const QModelIndex cell = form->programModel->index(i, 0);
        form->StringGrid4->scrollTo(cell);
        QTest::mouseClick(form->StringGrid4->viewport(), Qt::LeftButton, {}, form->StringGrid4->visualRect(cell).center());
    }
    Bytes writes(int board = 0) const { return library.writes(board); }

    WorkDir work;
    SimulatedLibrary library;
    std::unique_ptr<MainWindow> form;
};

// ---- modal dialogs ---------------------------------------------------------

// Answers the modal dialogs that come up in their own event loops, one
// answer each, in order. An answer gets the dialog and must close it.
using Answer = std::function<void(QWidget*)>;
struct DialogAnswerer : QObject {
    explicit DialogAnswerer(std::vector<Answer> answers) : answers_(std::move(answers))
    {
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || next_ >= answers_.size() || (modal == last_.data() && modal->isVisible()))
                return;  // none, all answered, or still closing after its answer
            last_ = modal;
            answers_[next_++](modal);
        });
        timer_.start(5);
    }
    bool answered() const { return next_ == answers_.size(); }
    std::vector<Answer> answers_;
    std::size_t next_ = 0;
    QPointer<QWidget> last_;
    QTimer timer_;
};

// Types the path into the file dialog's name field and accepts; unchecked,
// the dialog's own checks are skipped (a file gone after it was chosen).
inline Answer chooseFile(const QString& path, bool checked = true)
{
    return [path, checked](QWidget* w) {
        auto* dialog = qobject_cast<QFileDialog*>(w);
        auto* name = w->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(dialog && name);
        // The dialog may still apply a selection of its own once its folder
        // has loaded: make that selection the same file.
        dialog->selectFile(path);
        name->setText(path);
        QDialog* d = dialog;  // accept() and done() are public here
        QMetaObject::invokeMethod(d, [=] { checked ? d->accept() : d->done(QDialog::Accepted); }, Qt::QueuedConnection);
    };
}
inline Answer cancelDialog() { return [](QWidget* w) { QMetaObject::invokeMethod(w, "reject", Qt::QueuedConnection); }; }

// Presses a message box button and keeps the box's text.
inline Answer pressMessageButton(QMessageBox::StandardButton which, QString* text = nullptr)
{
    return [=](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        QVERIFY(box && box->button(which));
        if (text)
            *text = box->text();
        QMetaObject::invokeMethod(box->button(which), "click", Qt::QueuedConnection);
    };
}

// Clicks `button` and answers every dialog that it opens, in order.
inline void clickThrough(QWidget* button, std::vector<Answer> answers)
{
    DialogAnswerer answerer(std::move(answers));
    click(button);
    QVERIFY2(answerer.answered(), "an expected dialog did not come up");
}

// Waits for an error box, closes it and returns its text ("" if none came).
inline QString takeErrorBox()
{
    QString text;
    DialogAnswerer answer({pressMessageButton(QMessageBox::Ok, &text)});
    (void)QTest::qWaitFor([&] { return answer.answered(); }, 1000);
    QTest::qWait(10);
    return text;
}

}  // namespace fixture
