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

// A row's pattern for a relay byte, and what the bars and indicators show for it.
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

// A fresh working directory, entered while it lives.
class WorkDir {
public:
    WorkDir() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }
    ~WorkDir() { QDir::setCurrent(previous_); }
    QString file(const QString& name) const { return dir_.filePath(name); }
    QStringList files() const { return QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden); }

private:
    QString previous_;
    QTemporaryDir dir_;
};

// Base of the window tests: a working directory per case, no dialog left open.
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

inline void click(QWidget* w, Qt::MouseButton b = Qt::LeftButton) { QTest::mouseClick(w, b); }

// What the operator sees of a window, and does to it.
struct View {
    TForm1* form = nullptr;

    // Rows as an opened file puts them: row 0 current, nothing loaded.
    void program(const QStringList& rows)
    {
        Rows bytes;
        for (const QString& r : rows)
            bytes.push_back(r.toLatin1());
        form->programModel->replaceAll(std::move(bytes));
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

    void pickBoard(int index) { form->ComboBox1->setCurrentIndex(index), emit form->ComboBox1->activated(index); }
    void dropDown() { form->ComboBox1->showPopup(), form->ComboBox1->hidePopup(); }
    void clickRow(int i)
    {
        const QModelIndex cell = form->programModel->index(i, 0);
        form->StringGrid4->scrollTo(cell);
        QTest::mouseClick(form->StringGrid4->viewport(), Qt::LeftButton, {},
                          form->StringGrid4->visualRect(cell).center());
    }
    void typeDuration(const QString& digits) { form->Edit9->selectAll(), QTest::keyClicks(form->Edit9, digits); }
    void tick(int n = 1) { while (n-- > 0) form->Timer1Timer(); }
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

// What the runner should be doing: the row it plays and the count Edit9
// shows. "Repeat" decides what follows the last row.
struct RunModel {
    QStringList rows;
    bool repeat = true;
    int row = 0;
    int count = 0;
    bool running = true;

    void pick(int r) { row = r, count = rows.at(r).mid(9).toInt(); }
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

// ---- modal dialogs ---------------------------------------------------------

// Answers the modal dialogs that come up in their own event loops, one
// answer each, in order. An answer gets the dialog and must close it.
using Answer = std::function<void(QWidget*)>;
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
    bool answered() const { return next_ == answers_.size(); }

private:
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
        auto* name = w->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(qobject_cast<QFileDialog*>(w) && name);
        name->setText(path);
        if (checked)
            QMetaObject::invokeMethod(w, "accept", Qt::QueuedConnection);
        else
            QMetaObject::invokeMethod(w, "done", Qt::QueuedConnection, Q_ARG(int, QDialog::Accepted));
    };
}
inline Answer cancelDialog() { return [](QWidget* w) { QMetaObject::invokeMethod(w, "reject", Qt::QueuedConnection); }; }

// Presses a message box button, after `before`, and keeps the box's text.
inline Answer pressMessageButton(QMessageBox::StandardButton which, QString* text = nullptr,
                                 std::function<void()> before = {})
{
    return [=](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        QVERIFY(box && box->button(which));
        if (text)
            *text = box->text();
        if (before)
            before();
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

// ---- the process ------------------------------------------------------------

// While it lives, files cannot grow beyond `bytes`: a full disk, for root too.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN))
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit small = saved_;
        small.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_), std::signal(SIGXFSZ, handler_); }

private:
    rlimit saved_{};
    void (*handler_)(int);
};

// Collects what is written to stderr until text() is read.
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

// Root may write any file, so a case about files that cannot be written runs
// again in a child as "nobody". Empty when it passed, "skip: ..." when it
// could not run.
inline QString runAsNobody(const char* testClass, const char* function)
{
    const QString self = QCoreApplication::applicationFilePath();
    // A data row runs alone: "function:tag" on the command line, "function(tag)" when it passes.
    const char* tag = QTest::currentDataTag();
    const QString test = QString::fromLatin1(function) + (tag ? QLatin1Char(':') + QString::fromLatin1(tag) : QString());
    const QString passed = QString::fromLatin1(function) + (tag ? QStringLiteral("(%1)").arg(QLatin1String(tag)) : QString());
    const QStringList asNobody{"-u", "nobody", "--"};
    if (QProcess::execute(QStringLiteral("runuser"), asNobody + QStringList{"test", "-x", self}) != 0)
        return QStringLiteral("skip: runuser -u nobody cannot run ") + self;
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"HOME", "TMPDIR"})
        env.insert(QString::fromLatin1(name), QStringLiteral("/tmp"));
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    child.setProcessEnvironment(env);
    child.setWorkingDirectory(QStringLiteral("/tmp"));
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral("runuser"), asNobody + QStringList{self, test});
    const bool finished = child.waitForFinished(60000);
    const QString output = QString::fromLocal8Bit(child.readAll());
    if (output.contains(QLatin1String("SKIP   :")))
        return QStringLiteral("skip: child as nobody skipped:\n") + output;
    const bool passes = output.contains(QStringLiteral("PASS   : %1::%2").arg(QLatin1String(testClass), passed));
    return finished && child.exitCode() == 0 && passes ? QString() : QStringLiteral("child as nobody failed:\n") + output;
}

}  // namespace fixture

// Runs the rest of the calling case as an ordinary user: as root, the case
// is handed to a child running as "nobody".
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
