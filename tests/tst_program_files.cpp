// Saving the program list to a file and opening one back, through the
// window's file dialogs; the bytes on disk are checked.
#include "window_fixture.h"

#include "timer/program_file.h"

#include <QPointer>

#include <csignal>
#include <sys/resource.h>

using namespace fixture;

namespace {
using Bytes = std::vector<std::uint8_t>;
using Rows = std::vector<QByteArray>;
using Answer = std::function<void(QWidget*)>;

// Puts rows into the list the way an opened file does: row 0 current, nothing loaded.
void program(Rig& rig, Rows rows)
{
    rig.form->programModel->replaceAll(std::move(rows));
    rig.form->StringGrid4->setCurrentRow(0);
}

Rows listRows(const Rig& rig) { return rig.form->programModel->rows(); }

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Types a path into a file dialog's name field. (selectFile leaves the field
// alone while it has the focus, as it has in a shown dialog.)
void typeName(QWidget* w, const QString& path)
{
    auto* dialog = qobject_cast<QFileDialog*>(w);
    QVERIFY(dialog);
    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(name);
    name->setText(path);
}

Answer choose(const QString& path)
{
    return [path](QWidget* w) {
        typeName(w, path);
        QMetaObject::invokeMethod(w, "accept", Qt::QueuedConnection);
    };
}

// Gives the name back without the dialog's own checks, as a dialog does when
// the file goes away after it was chosen.
Answer chooseUnchecked(const QString& path)
{
    return [path](QWidget* w) {
        typeName(w, path);
        QMetaObject::invokeMethod(w, "done", Qt::QueuedConnection, Q_ARG(int, QDialog::Accepted));
    };
}

Answer press(QMessageBox::StandardButton which, QString* text = nullptr,
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

// Answers the modal dialogs that come up, one answer each, in order.
class DialogScript : public QObject {
public:
    explicit DialogScript(std::vector<Answer> answers) : answers_(std::move(answers))
    {
        timer_.setInterval(5);
        connect(&timer_, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || next_ >= answers_.size())
                return;
            if (modal == last_.data() && modal->isVisible())
                return;  // still closing after its answer
            last_ = modal;
            answers_[next_++](modal);
        });
        timer_.start();
    }
    std::size_t answered() const { return next_; }

private:
    std::vector<Answer> answers_;
    std::size_t next_ = 0;
    QPointer<QWidget> last_;
    QTimer timer_;
};

void saveAs(Rig& rig, std::vector<Answer> answers)
{
    const std::size_t expected = answers.size();
    DialogScript script(std::move(answers));
    click(rig.form->Button20);
    QCOMPARE(script.answered(), expected);
}

void openAs(Rig& rig, std::vector<Answer> answers)
{
    const std::size_t expected = answers.size();
    DialogScript script(std::move(answers));
    click(rig.form->Button19);
    QCOMPARE(script.answered(), expected);
}

// Everything a save must leave alone.
struct Views {
    explicit Views(const Rig& rig)
        : rows(listRows(rig)), current(rig.current()), writes(rig.writes()),
          edit(rig.form->Edit9->text()), bars(rig.bars()), indicators(rig.indicators()),
          captions(rig.captions())
    {}
    bool operator==(const Views&) const = default;
    Rows rows;
    int current;
    Bytes writes;
    QString edit;
    QList<int> bars;
    QList<int> indicators;
    QStringList captions;
};
}  // namespace

class ProgramFilesTest : public QObject {
    Q_OBJECT
private slots:
    void init() { work_ = std::make_unique<WorkDir>(); }
    void cleanup()
    {
        QVERIFY(!QApplication::activeModalWidget());
        work_.reset();
    }

    void savingTheStartList()
    {
        Rig rig(1);
        const Views before(rig);
        saveAs(rig, {choose(work_->file("prog"))});
        QCOMPARE(readAll(work_->file("prog.txt")), QByteArray("00000000-0\r\n"));
        QCOMPARE(QDir(work_->path()).entryList(QDir::Files), QStringList{"prog.txt"});
        QVERIFY(Views(rig) == before);
    }

    void roundTrip()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"00000000-5", "11000000-10", "00100001-9999", "00000000-0"});
        rig.clickRow(1);
        const Rows saved = listRows(rig);
        saveAs(rig, {choose(work_->file("two"))});
        QCOMPARE(readAll(work_->file("two.txt")),
                 QByteArray("00000000-5\r\n11000000-10\r\n00100001-9999\r\n00000000-0\r\n"));

        click(f.Button22);  // Clear all
        const Views cleared(rig);
        openAs(rig, {choose(work_->file("two.txt"))});
        QCOMPARE(listRows(rig), saved);
        QCOMPARE(rig.current(), 0);
        // Nothing is loaded: board, bars and timer value stay as they were.
        QCOMPARE(rig.writes(), cleared.writes);
        QCOMPARE(f.Edit9->text(), QStringLiteral("0"));
        QCOMPARE(rig.bars(), cleared.bars);
        QCOMPARE(rig.indicators(), cleared.indicators);
    }

    void overwritingAsksFirst()
    {
        Rig rig(1);
        const QString prog = work_->file("prog.txt");
        writeFile(prog, "old\r\n");
        QString question;
        saveAs(rig, {choose(prog), press(QMessageBox::No, &question)});
        QVERIFY2(question.contains(QDir::toNativeSeparators(prog)), qPrintable(question));
        QCOMPARE(readAll(prog), QByteArray("old\r\n"));

        // Choosing the name without its extension names the same file.
        saveAs(rig, {choose(work_->file("prog")), press(QMessageBox::Yes)});
        QCOMPARE(readAll(prog), QByteArray("00000000-0\r\n"));

        writeFile(prog, "old\r\n");
        saveAs(rig, {choose(prog), press(QMessageBox::Yes)});
        QCOMPARE(readAll(prog), QByteArray("00000000-0\r\n"));
        QCOMPARE(QDir(work_->path()).entryList(QDir::Files), QStringList{"prog.txt"});
    }

    void cancelledDialogs()
    {
        Rig rig(1);
        program(rig, {"10000000-1", "01000000-2", "00100000-3"});
        rig.clickRow(2);
        const Views before(rig);
        saveAs(rig, {cancelDialog()});
        QVERIFY(QDir(work_->path()).entryList(QDir::Files).isEmpty());
        openAs(rig, {cancelDialog()});
        QVERIFY(Views(rig) == before);

        // A confirmed open, then a cancelled one: the file is not read again.
        writeFile(work_->file("a.txt"), "11111111-1\r\n");
        openAs(rig, {choose(work_->file("a.txt"))});
        program(rig, {"10000000-1", "01000000-2"});
        openAs(rig, {cancelDialog()});
        QCOMPARE(listRows(rig), (Rows{"10000000-1", "01000000-2"}));
    }

    void readingLines_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<Rows>("rows");
        QTest::newRow("CR LF") << QByteArray("10000000-3\r\n01000000-0\r\n00000000-2\r\n")
                               << Rows{"10000000-3", "01000000-0", "00000000-2"};
        QTest::newRow("LF") << QByteArray("10000000-3\n01000000-0\n00000000-2\n")
                            << Rows{"10000000-3", "01000000-0", "00000000-2"};
        QTest::newRow("last line without line end")
            << QByteArray("10000000-3\r\n01000000-0\r\n00000000-2")
            << Rows{"10000000-3", "01000000-0", "00000000-2"};
        QTest::newRow("one line without line end") << QByteArray("10100000-15") << Rows{"10100000-15"};
        QTest::newRow("empty file") << QByteArray() << Rows{""};
        QTest::newRow("empty lines") << QByteArray("\r\n\n") << Rows{"", ""};
        QTest::newRow("30 characters") << QByteArray("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123\r\n")
                                       << Rows{"ABCDEFGHIJKLMNOPQRSTUVWX", "YZ0123"};
        QTest::newRow("24 characters")
            << QByteArray("ABCDEFGHIJKLMNOPQRSTUVWX\r\n10000000-1\r\n")
            << Rows{"ABCDEFGHIJKLMNOPQRSTUVWX", "", "10000000-1"};
        QTest::newRow("CR only") << QByteArray("10000000-1\r01000000-2\r")
                                 << Rows{"10000000-1\r01000000-2\r"};
        QTest::newRow("NUL and binary")
            << QByteArray("1\0\0\x01\xff\xe9\x80-7\r\n\xfe\n", 13)
            << Rows{QByteArray("1\0\0\x01\xff\xe9\x80-7", 9), QByteArray("\xfe")};
    }

    void readingLines()
    {
        QFETCH(QByteArray, content);
        QFETCH(Rows, rows);
        Rig rig(1);
        writeFile(work_->file("in.txt"), content);
        openAs(rig, {choose(work_->file("in.txt"))});
        QCOMPARE(listRows(rig), rows);
        QCOMPARE(rig.current(), 0);
        QVERIFY(rig.writes().empty());
        QCOMPARE(rig.form->errorsReported(), 0);
    }

    void emptyFileGivesAnEmptyRow()
    {
        Rig rig(1);
        writeFile(work_->file("empty.txt"), QByteArray());
        openAs(rig, {choose(work_->file("empty.txt"))});
        QCOMPARE(listRows(rig), Rows{""});
        rig.clickRow(0);
        QVERIFY(takeErrorBox().contains(QStringLiteral("Range error")));
        QVERIFY(rig.writes().empty());
    }

    void largeFiles()
    {
        Rig rig(1);
        QByteArray lines;
        const int count = 300000;  // 3.6 MB
        for (int i = 0; i < count; ++i)
            lines += QByteArray("10000000-") + QByteArray::number(i % 10000) + "\r\n";
        writeFile(work_->file("big.txt"), lines);
        openAs(rig, {choose(work_->file("big.txt"))});
        QCOMPARE(rig.rows(), count);
        QCOMPARE(rig.row(count - 1), QStringLiteral("10000000-9999"));

        // Beyond 32 MB the file is refused and the list stays.
        program(rig, {"10000000-1", "01000000-2"});
        const QString huge = work_->file("huge.txt");
        {
            QFile file(huge);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(ProgramFile::MaxFileSize + 1));
        }
        QString message;
        openAs(rig, {choose(huge), press(QMessageBox::Ok, &message)});
        QVERIFY2(message.contains(QDir::toNativeSeparators(huge)) && message.contains("32 MB"),
                 qPrintable(message));
        QCOMPARE(listRows(rig), (Rows{"10000000-1", "01000000-2"}));
    }

    void openFailuresKeepTheList_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing file") << "gone.txt" << false << "does not exist";
        QTest::newRow("folder") << "folder.txt" << true << "folder";
    }

    void openFailuresKeepTheList()
    {
        QFETCH(QString, name);
        QFETCH(bool, folder);
        QFETCH(QString, reason);
        Rig rig(1);
        if (folder)
            QVERIFY(QDir(work_->path()).mkdir(name));
        program(rig, {"10000000-1", "01000000-2", "00100000-3"});
        rig.clickRow(2);
        const Views before(rig);
        QString message;
        openAs(rig, {chooseUnchecked(work_->file(name)), press(QMessageBox::Ok, &message)});
        QVERIFY2(message.contains(QDir::toNativeSeparators(work_->file(name))), qPrintable(message));
        QVERIFY2(message.contains(reason), qPrintable(message));
        QVERIFY(Views(rig) == before);
    }

    void failedSaves()
    {
        Rig rig(1);
        program(rig, {"10000000-1", "01000000-2", "00100000-3", "00010000-4", "00001000-5"});
        const Views before(rig);

        // The folder named in the path is a plain file.
        writeFile(work_->file("plain"), "x");
        const QString target = work_->file("plain/prog");
        QString message;
        saveAs(rig, {choose(target), press(QMessageBox::Ok, &message)});
        QVERIFY2(message.contains(QDir::toNativeSeparators(target + ".txt")), qPrintable(message));
        QCOMPARE(readAll(work_->file("plain")), QByteArray("x"));

        // The disk takes no more than 16 bytes (a file-size limit holds for
        // root too): the existing file stays whole and no temporary is left.
        const QString keep = work_->file("keep.txt");
        writeFile(keep, "00000000-9\r\n");
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        auto limit = [saved] {
            rlimit small = saved;
            small.rlim_cur = 16;
            setrlimit(RLIMIT_FSIZE, &small);
        };
        message.clear();
        saveAs(rig, {choose(keep), press(QMessageBox::Yes, nullptr, limit),
                     press(QMessageBox::Ok, &message)});
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY2(message.contains(QDir::toNativeSeparators(keep)), qPrintable(message));
        QCOMPARE(readAll(keep), QByteArray("00000000-9\r\n"));
        QCOMPARE(QDir(work_->path()).entryList(QDir::Files), (QStringList{"keep.txt", "plain"}));
        QVERIFY(Views(rig) == before);
    }

    void saveDuringARunKeepsStepDurations()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"10000000-5", "01000000-3"});
        rig.clickRow(1);
        click(f.Button34);
        rig.tick(2);
        click(f.Button35);  // paused: no tick while the dialog is open
        const Views paused(rig);
        QCOMPARE(rig.row(0), QStringLiteral("10000000-3"));
        saveAs(rig, {choose(work_->file("run"))});
        QCOMPARE(readAll(work_->file("run.txt")), QByteArray("10000000-5\r\n01000000-3\r\n"));
        QVERIFY(Views(rig) == paused);

        // Running: the timer goes on ticking while the dialog is open.
        click(f.Button34);  // Stop
        typeDuration(rig);
        f.TrackBar1->setValue(100);
        click(f.Button34);  // Start, in row 0 with 9999
        rig.tick(3);
        QCOMPARE(rig.row(0), QStringLiteral("10000000-9996"));
        saveAs(rig, {choose(work_->file("running"))});
        QCOMPARE(readAll(work_->file("running.txt")), QByteArray("10000000-9999\r\n01000000-3\r\n"));
        QVERIFY(f.Timer1->isEnabled());
        QCOMPARE(rig.current(), 0);
    }

    void longPaths()
    {
        Rig rig(1);
        QString folder = work_->path();
        for (const char c : {'a', 'b', 'c'})
            folder += QLatin1Char('/') + QString(100, QLatin1Char(c));
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + QStringLiteral("/program");
        QVERIFY(path.size() > 300);
        program(rig, {"11110000-12", "00001111-34"});
        saveAs(rig, {choose(path)});
        QCOMPARE(readAll(path + ".txt"), QByteArray("11110000-12\r\n00001111-34\r\n"));
        program(rig, {"00000000-0"});
        openAs(rig, {choose(path + ".txt")});
        QCOMPARE(listRows(rig), (Rows{"11110000-12", "00001111-34"}));
    }

    void fileFormat()
    {
        QCOMPARE(ProgramFile::savePath("/d/prog"), QStringLiteral("/d/prog.txt"));
        QCOMPARE(ProgramFile::savePath("/d/prog.txt"), QStringLiteral("/d/prog.txt"));
        QCOMPARE(ProgramFile::savePath("/d.txt/prog"), QStringLiteral("/d.txt/prog.txt"));
        QCOMPARE(ProgramFile::savePath("/d/prog.txt.bak"), QStringLiteral("/d/prog.txt.bak.txt"));
        QCOMPARE(ProgramFile::serialize({"00000000-5", "11000000-10"}),
                 QByteArray("00000000-5\r\n11000000-10\r\n"));
        QCOMPARE(ProgramFile::serialize({""}), QByteArray("\r\n"));
        // What is written reads back the same, rows that are not steps included.
        const Rows odd{"", "1x", QByteArray("\0\xff", 2), "00000000-0", ""};
        QCOMPARE(ProgramFile::parse(ProgramFile::serialize(odd)), odd);
        // Pieces: 48 characters and a line end, then a CR that ends nothing.
        QCOMPARE(ProgramFile::parse(QByteArray(48, 'a') + "\n\r"),
                 (Rows{QByteArray(24, 'a'), QByteArray(24, 'a'), "", "\r"}));
    }

private:
    void typeDuration(Rig& rig)
    {
        rig.form->Edit9->selectAll();
        QTest::keyClicks(rig.form->Edit9, QStringLiteral("9999"));
    }

    std::unique_ptr<WorkDir> work_;
};

QTEST_MAIN(ProgramFilesTest)
#include "tst_program_files.moc"
