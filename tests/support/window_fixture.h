#pragma once

// Driving the main window the way an operator does, on simulated boards, in
// a working directory of its own.

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
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace fixture {

using Bytes = std::vector<std::uint8_t>;
using Rows = std::vector<QByteArray>;
constexpr int Red = 255;
constexpr int Lime = 65280;
constexpr int Up = TForm1::BarRaised;
constexpr int Down = TForm1::BarLowered;

inline QString onLabel(int relay) { return QStringLiteral("Relay %1 ON").arg(relay); }
inline QString offLabel(int relay) { return QStringLiteral("Relay %1 OFF").arg(relay); }

// A row's pattern for a relay byte, and the views that show that byte.
inline QString patternOf(std::uint8_t byte)
{
    QString pattern;
    for (int bit = 0; bit < 8; ++bit)
        pattern += QLatin1Char((byte >> bit) & 1 ? '1' : '0');
    return pattern;
}
inline QList<int> perBit(std::uint8_t byte, int one, int zero)
{
    QList<int> out;
    for (int bit = 0; bit < 8; ++bit)
        out << ((byte >> bit) & 1 ? one : zero);
    return out;
}
inline QList<int> barsFor(std::uint8_t byte) { return perBit(byte, Up, Down); }
inline QList<int> indicatorsFor(std::uint8_t byte) { return perBit(byte, Lime, Red); }

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}
inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// A fresh working directory for the label file, entered on construction.
class WorkDir {
public:
    WorkDir() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }
    ~WorkDir() { QDir::setCurrent(previous_); }
    QString path() const { return dir_.path(); }
    QString file(const QString& name) const { return dir_.filePath(name); }
    QStringList files() const { return QDir(path()).entryList(QDir::Files | QDir::Hidden); }

private:
    QString previous_;
    QTemporaryDir dir_;
};

// Base of the window tests: each case runs in a working directory of its own
// and must not leave a dialog open.
class WindowTest : public QObject {
    Q_OBJECT
protected:
    WorkDir& work() { return *work_; }
private slots:
    void init() { work_ = std::make_unique<WorkDir>(); }
    void cleanup()
    {
        QVERIFY2(!QApplication::activeModalWidget(), "a dialog was left open");
        work_.reset();
    }

private:
    std::unique_ptr<WorkDir> work_;
};

// The operator's view of a window: what it shows, and what the operator does.
struct View {
    TForm1* form = nullptr;

    QPushButton* button(const char* name) const
    {
        auto* b = form->findChild<QPushButton*>(QString::fromLatin1(name));
        if (!b)
            qFatal("no button named %s", name);
        return b;
    }

    // Puts rows into the list the way an opened file does: row 0 current, nothing loaded.
    void program(Rows rows)
    {
        form->programModel->replaceAll(std::move(rows));
        form->StringGrid4->setCurrentRow(0);
    }
    QString row(int i) const { return QString::fromLatin1(form->programModel->text(i)); }
    int rows() const { return form->programModel->count(); }
    int current() const { return form->StringGrid4->currentRow(); }
#define KESTRUNE_LIST(T, n, expr) { QList<T> out; for (int i = 0; i < (n); ++i) out << (expr); return out; }
    QStringList allRows() const KESTRUNE_LIST(QString, rows(), row(i))
    // Per relay 1-8: indicator colours, step bar tops, manual and bar captions.
    QList<int> indicators() const KESTRUNE_LIST(int, 8, form->indicator(i + 1)->color())
    QList<int> bars() const KESTRUNE_LIST(int, 8, form->stepBar(i + 1)->y())
    QStringList captions() const KESTRUNE_LIST(QString, 8, form->manualButton(i + 1)->text())
    QStringList barCaptions() const KESTRUNE_LIST(QString, 8, form->stepBar(i + 1)->text())
#undef KESTRUNE_LIST

    // The operator picks entry `index` of the board list, or drops it down.
    void pickBoard(int index)
    {
        form->ComboBox1->setCurrentIndex(index);
        emit form->ComboBox1->activated(index);
    }
    void dropDown()
    {
        form->ComboBox1->showPopup();
        form->ComboBox1->hidePopup();
    }
    void clickRow(int i)
    {
        const QModelIndex cell = form->programModel->index(i, 0);
        form->StringGrid4->scrollTo(cell);
        QTest::mouseClick(form->StringGrid4->viewport(), Qt::LeftButton, {},
                          form->StringGrid4->visualRect(cell).center());
    }
    void typeDuration(const QString& digits)
    {
        form->Edit9->selectAll();
        QTest::keyClicks(form->Edit9, digits);
    }
    void tick(int n = 1)
    {
        for (int i = 0; i < n; ++i)
            form->Timer1Timer();
    }
};

// A window on `boardCount` simulated boards.
struct Rig : View {
    explicit Rig(int boardCount = 1, std::function<void(SimulatedLibrary&)> prepare = {})
    {
        for (int i = 0; i < boardCount; ++i)
            library.addBoard();
        if (prepare)
            prepare(library);
        window = std::make_unique<TForm1>(library);
        form = window.get();
    }
    ~Rig() { form->Timer1->setEnabled(false); }
    Bytes writes(int board = 0) const { return library.writes(board); }
    int lastWrite(int board = 0) const { return writes(board).empty() ? -1 : writes(board).back(); }

    SimulatedLibrary library;
    std::unique_ptr<TForm1> window;
};

inline void click(QWidget* w, Qt::MouseButton b = Qt::LeftButton) { QTest::mouseClick(w, b); }

// What the runner should be doing: the row it plays and the count Edit9
// shows. "Repeat" decides what follows the last row.
struct RunModel {
    QStringList rows;
    bool repeat = true;
    int row = 0;
    int count = 0;
    bool running = true;

    void pick(int r)
    {
        row = r;
        count = rows.at(r).mid(9).toInt();
    }
    void tick()
    {
        if (count >= 2)
            --count;
        else if (row + 1 < rows.size())
            pick(row + 1);
        else if (repeat)
            pick(0);
        else
            running = false;
    }
    QString currentText() const { return rows.at(row).left(9) + QString::number(count); }
    std::uint8_t byte() const  // "0" is off, anything else on
    {
        std::uint8_t byte = 0;
        for (int bit = 0; bit < 8; ++bit)
            byte |= rows.at(row).at(bit) != QLatin1Char('0') ? 1u << bit : 0u;
        return byte;
    }
};

inline Rows toRows(const QStringList& rows)
{
    Rows out;
    std::transform(rows.begin(), rows.end(), std::back_inserter(out), [](const QString& r) { return r.toLatin1(); });
    return out;
}

// ---- modal dialogs ---------------------------------------------------------

using Answer = std::function<void(QWidget*)>;

// Answers the modal dialogs (file dialogs, message boxes) that come up from
// inside their own event loops, one answer each, in order. An answer gets the
// dialog and must close it.
class DialogAnswerer : public QObject {
public:
    explicit DialogAnswerer(std::vector<Answer> answers) : answers_(std::move(answers))
    {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || next_ >= answers_.size() || (modal == last_.data() && modal->isVisible()))
                return;  // none, all answered, or still closing after its answer
            last_ = modal;
            answers_[next_++](modal);
        });
        timer_.start();
    }
    explicit DialogAnswerer(Answer answer) : DialogAnswerer(std::vector<Answer>{std::move(answer)}) {}
    bool answered() const { return next_ == answers_.size(); }

private:
    std::vector<Answer> answers_;
    std::size_t next_ = 0;
    QPointer<QWidget> last_;
    QTimer timer_;
};

// Types the path into the file dialog's name field and accepts. (selectFile
// leaves the field alone while it has the focus, as it has in a shown
// dialog.) Unchecked, the name comes back without the dialog's own checks, as
// when the file goes away after it was chosen.
inline Answer chooseFile(const QString& path, bool checked = true)
{
    return [path, checked](QWidget* w) {
        auto* dialog = qobject_cast<QFileDialog*>(w);
        QVERIFY(dialog);
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        name->setText(path);
        if (checked)
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        else
            QMetaObject::invokeMethod(dialog, "done", Qt::QueuedConnection, Q_ARG(int, QDialog::Accepted));
    };
}

inline Answer cancelDialog() { return [](QWidget* w) { QMetaObject::invokeMethod(w, "reject", Qt::QueuedConnection); }; }

// Presses a button of a message box, after `before`, and remembers its text.
inline Answer pressMessageButton(QMessageBox::StandardButton which, QString* text = nullptr,
                                 std::function<void()> before = {})
{
    return [=](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        QVERIFY(box);
        if (text)
            *text = box->text();
        if (before)
            before();
        QAbstractButton* b = box->button(which);
        QVERIFY(b);
        QMetaObject::invokeMethod(b, "click", Qt::QueuedConnection);
    };
}

// Clicks `button` and answers every dialog that it opens, in order.
inline void clickThrough(QWidget* button, std::vector<Answer> answers)
{
    DialogAnswerer answerer(std::move(answers));
    click(button);
    QVERIFY2(answerer.answered(), "an expected dialog did not come up");
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

// ---- the process ------------------------------------------------------------

// While it lives, files cannot grow beyond `bytes` (a full disk, for root too).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN))
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit small = saved_;
        small.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, handler_);
    }

private:
    rlimit saved_{};
    void (*handler_)(int);
};

// Collects what is written to stderr while it lives, or until text() is read.
class StderrCapture {
public:
    StderrCapture() : saved_((std::fflush(stderr), file_.open(), ::dup(2))) { ::dup2(file_.handle(), 2); }
    ~StderrCapture() { text(); }
    QByteArray text()
    {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
        }
        file_.seek(0);
        return file_.readAll();
    }

private:
    QTemporaryFile file_;
    int saved_;
};

// Root may write any file, so cases about files that cannot be written run
// again in a child process as the user "nobody". Returns an empty text when
// the child passed, "skip: ..." when it could not run.
inline QString runAsNobody(const char* testClass, const char* function)
{
    const QString self = QCoreApplication::applicationFilePath();
    const QStringList asNobody{"-u", "nobody", "--"};
    if (QProcess::execute(QStringLiteral("runuser"), asNobody + QStringList{"test", "-x", self}) != 0)
        return QStringLiteral("skip: runuser -u nobody cannot run %1").arg(self);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"HOME", "TMPDIR"})
        env.insert(QString::fromLatin1(name), QStringLiteral("/tmp"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    child.setProcessEnvironment(env);
    child.setWorkingDirectory(QStringLiteral("/tmp"));
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral("runuser"), asNobody + QStringList{self, QString::fromLatin1(function)});
    if (!child.waitForFinished(60000))
        return QStringLiteral("child as nobody did not finish");
    const QString output = QString::fromLocal8Bit(child.readAll());
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return QStringLiteral("child as nobody failed:\n") + output;
    if (output.contains(QLatin1String("SKIP   :")))
        return QStringLiteral("skip: child as nobody skipped:\n") + output;
    if (!output.contains(QStringLiteral("PASS   : %1::%2").arg(QLatin1String(testClass), QLatin1String(function))))
        return QStringLiteral("child as nobody did not report a pass:\n") + output;
    return {};
}

}  // namespace fixture

// Runs the rest of the calling test as an ordinary user: when this process
// is root, the case is handed to a child running as "nobody".
#define AS_ORDINARY_USER()                                                                         \
    do {                                                                                           \
        if (::geteuid() == 0) {                                                                    \
            const QString outcome =                                                                \
                fixture::runAsNobody(metaObject()->className(), QTest::currentTestFunction());     \
            if (outcome.startsWith(QLatin1String("skip: ")))                                       \
                QSKIP(qPrintable(outcome));                                                        \
            QVERIFY2(outcome.isEmpty(), qPrintable(outcome));                                      \
            return;                                                                                \
        }                                                                                          \
    } while (false)
