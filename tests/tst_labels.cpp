// The label table and its file labels.dat: layout, loading of damaged
// files, and saves that cannot or must not replace the file.
#include "window_fixture.h"

#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

using namespace fixture;

namespace {

const char* const FileName = "labels.dat";

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// A 320-byte image built by hand: each record the label, a NUL, and `fill`
// up to the record's end.
QByteArray imageOf(const QList<QByteArray>& labels, char fill = '\0')
{
    QByteArray out;
    for (const QByteArray& label : labels) {
        QByteArray record = label + '\0';
        record.append(QByteArray(20 - record.size(), fill));
        out += record;
    }
    return out;
}

QList<QByteArray> defaults()
{
    QList<QByteArray> out;
    for (int s = 0; s < 16; ++s)
        out << "Relay " + QByteArray::number(s % 8 + 1) + (s < 8 ? " ON" : " OFF");
    return out;
}

QList<QByteArray> slotsOf(const LabelTable& table)
{
    QList<QByteArray> out;
    for (int s = 0; s < LabelTable::SlotCount; ++s)
        out << table.slot(s);
    return out;
}

// Labels "L00" ... "L15".
QList<QByteArray> numbered()
{
    QList<QByteArray> out;
    for (int s = 0; s < 16; ++s)
        out << QByteArray("L") + QByteArray::number(s).rightJustified(2, '0');
    return out;
}

// Collects what is written to stderr while it lives.
class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        file_.open();
        saved_ = ::dup(2);
        ::dup2(file_.handle(), 2);
    }
    ~StderrCapture() { restore(); }
    QByteArray text()
    {
        restore();
        file_.seek(0);
        return file_.readAll();
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    QTemporaryFile file_;
    int saved_ = -1;
};

// Root may write any file, so the cases about files that cannot be written
// run again in a child process as the user "nobody". Returns an empty text
// when the child passed, "skip: ..." when it could not run.
QString runAsNobody(const char* function)
{
    const QString self = QCoreApplication::applicationFilePath();
    QProcess probe;
    probe.setWorkingDirectory(QStringLiteral("/tmp"));
    probe.start(QStringLiteral("runuser"),
                {QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--"),
                 QStringLiteral("test"), QStringLiteral("-x"), self});
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0)
        return QStringLiteral("skip: runuser -u nobody cannot run %1").arg(self);

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), QStringLiteral("/tmp"));
    env.insert(QStringLiteral("TMPDIR"), QStringLiteral("/tmp"));
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    child.setProcessEnvironment(env);
    child.setWorkingDirectory(QStringLiteral("/tmp"));
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral("runuser"),
                {QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--"), self,
                 QString::fromLatin1(function)});
    if (!child.waitForFinished(60000))
        return QStringLiteral("child as nobody did not finish");
    const QString output = QString::fromLocal8Bit(child.readAll());
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return QStringLiteral("child as nobody failed:\n") + output;
    if (output.contains(QLatin1String("SKIP   :")))
        return QStringLiteral("skip: child as nobody skipped:\n") + output;
    if (!output.contains(QLatin1String("PASS   : LabelFileTest::%1").arg(QLatin1String(function))))
        return QStringLiteral("child as nobody did not report a pass:\n") + output;
    return {};
}

}  // namespace

// Runs the rest of the calling test as an ordinary user: when this process
// is root, the case is handed to a child running as "nobody".
#define AS_ORDINARY_USER()                                                        \
    do {                                                                          \
        if (::geteuid() == 0) {                                                   \
            const QString outcome = runAsNobody(QTest::currentTestFunction());    \
            if (outcome.startsWith(QLatin1String("skip: ")))                      \
                QSKIP(qPrintable(outcome));                                       \
            QVERIFY2(outcome.isEmpty(), qPrintable(outcome));                     \
            return;                                                               \
        }                                                                         \
    } while (false)

class LabelFileTest : public QObject {
    Q_OBJECT
private slots:
    void init() { work_ = std::make_unique<WorkDir>(); }
    void cleanup() { work_.reset(); }

    void defaultsWithoutFile()
    {
        QCOMPARE(slotsOf(LabelTable()), defaults());
        Rig rig(1);
        TForm1& f = *rig.form;
        QCOMPARE(slotsOf(f.labels), defaults());
        for (int relay = 1; relay <= 8; ++relay) {
            QCOMPARE(f.manualButton(relay)->text(), QStringLiteral("Relay %1 OFF").arg(relay));
            QCOMPARE(f.stepBar(relay)->text(), QStringLiteral("Relay %1 OFF").arg(relay));
        }
        // Start-up writes nothing; the first press on a relay button does.
        QVERIFY(!QFile::exists(FileName));
        QTest::mouseClick(f.stepBar(1), Qt::MiddleButton);
        QCOMPARE(readAll(FileName), imageOf(defaults()));
    }

    void setSlotKeepsSingleLabel()
    {
        LabelTable table;
        table.setSlot(3, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
        QCOMPARE(table.slot(3), QByteArray("ABCDEFGHIJKLMNOPQRS"));
        table.setSlot(4, QByteArray("ab\0cd", 5));
        QCOMPARE(table.slot(4), QByteArray("ab"));
        table.setSlot(5, "");
        QCOMPARE(table.slot(5), QByteArray());
        QCOMPARE(table.turnOn(4), QByteArray("ABCDEFGHIJKLMNOPQRS"));
        QCOMPARE(table.turnOff(1), QByteArray("Relay 1 OFF"));
    }

    // Each record is the label, then a NUL; 320 bytes in slot order.
    void roundTrip()
    {
        QList<QByteArray> labels = defaults();
        labels[0] = "";                         // empty: NUL in the first byte
        labels[3] = "ABCDEFGHIJKLMNOPQRS";      // 19 bytes: NUL in the last byte
        labels[9] = "caf\xE9";                  // Latin-1
        labels[12] = " spaced  ";
        labels[15] = "\xFF\x01~";
        LabelTable table;
        for (int s = 0; s < 16; ++s)
            table.setSlot(s, labels[s]);

        QString error;
        QVERIFY(LabelFile::save(FileName, table, &error));
        QVERIFY(error.isEmpty());
        const QByteArray bytes = readAll(FileName);
        QCOMPARE(bytes.size(), 320);
        for (int s = 0; s < 16; ++s) {
            const QByteArray record = bytes.mid(20 * s, 20);
            QCOMPARE(record.left(labels[s].size()), labels[s]);
            QCOMPARE(record.at(labels[s].size()), '\0');
        }
        QCOMPARE(bytes.at(0), '\0');
        QCOMPARE(bytes.at(79), '\0');
        QCOMPARE(bytes.mid(180, 5), QByteArray("caf\xE9\0", 5));

        LabelTable loaded;
        QVERIFY(LabelFile::load(FileName, loaded));
        QCOMPARE(slotsOf(loaded), labels);

        // The window shows what the file holds.
        Rig rig(1);
        TForm1& f = *rig.form;
        QCOMPARE(slotsOf(f.labels), labels);
        QCOMPARE(f.manualButton(2)->text(), QStringLiteral("caf\u00e9"));
        QCOMPARE(f.stepBar(2)->text(), QStringLiteral("caf\u00e9"));
        QCOMPARE(f.manualButton(5)->text(), QStringLiteral(" spaced  "));
        QCOMPARE(f.manualButton(8)->text(), QString::fromLatin1("\xFF\x01~"));
        click(f.Button10);
        QCOMPARE(f.manualButton(1)->text(), QString());
        QCOMPARE(f.manualButton(4)->text(), QStringLiteral("ABCDEFGHIJKLMNOPQRS"));
        // The press before each click saves the same 320 bytes again.
        click(f.manualButton(4));
        QCOMPARE(readAll(FileName), bytes);
    }

    // Bytes after a record's NUL mean nothing; a record without NUL gives
    // its first 19 bytes.
    void recordContents()
    {
        QList<QByteArray> labels = numbered();
        QByteArray bytes = imageOf(labels, 'z');
        bytes.replace(60, 20, "ABCDEFGHIJKLMNOPQRST");  // slot 3, no NUL
        bytes.replace(80, 20, QByteArray("Hi\0junk\0more", 12) + QByteArray(8, 'q'));
        writeAll(FileName, bytes);
        labels[3] = "ABCDEFGHIJKLMNOPQRS";
        labels[4] = "Hi";

        LabelTable loaded;
        QVERIFY(LabelFile::load(FileName, loaded));
        QCOMPARE(slotsOf(loaded), labels);
        Rig rig(0);
        QCOMPARE(rig.form->manualButton(4)->text(), QStringLiteral("L11"));
        QCOMPARE(slotsOf(rig.form->labels), labels);
    }

    // A file shorter than 320 bytes: fully covered records load, a record
    // cut short loads only if its NUL made it into the file, and the others
    // keep their defaults.
    void shortFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QList<QByteArray>>("expected");
        const QByteArray full = imageOf(numbered());
        const auto mixed = [&](int loadedSlots) {
            QList<QByteArray> out = defaults();
            for (int s = 0; s < loadedSlots; ++s)
                out[s] = numbered()[s];
            return out;
        };
        QTest::newRow("empty") << QByteArray() << defaults();
        QTest::newRow("5 records") << full.left(100) << mixed(5);
        QTest::newRow("NUL of record 5 inside") << full.left(104) << mixed(6);
        QTest::newRow("NUL of record 5 outside") << full.left(103) << mixed(5);
        QTest::newRow("319 bytes") << full.left(319) << mixed(16);
        QByteArray noNul = full.left(100) + QByteArray(15, 'X');
        QTest::newRow("record without NUL cut short") << noNul << mixed(5);
        QTest::newRow("one byte") << QByteArray("A") << defaults();
        QTest::newRow("one NUL") << QByteArray(1, '\0')
                                 << [] { auto d = defaults(); d[0] = ""; return d; }();
    }
    void shortFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QList<QByteArray>, expected);
        writeAll(FileName, content);
        LabelTable loaded;
        loaded.setSlot(15, "stale");
        QVERIFY(LabelFile::load(FileName, loaded));
        QCOMPARE(slotsOf(loaded), expected);
        QCOMPARE(slotsOf(LabelTable::fromImage(content)), expected);
        // Loading leaves the file as it was.
        QCOMPARE(readAll(FileName), content);
    }

    void shortFileAtStartup()
    {
        writeAll(FileName, imageOf(numbered()).left(243));  // slots 0-11; 12 cut before its NUL
        Rig rig(1);
        TForm1& f = *rig.form;
        QCOMPARE(f.manualButton(4)->text(), QStringLiteral("L11"));
        QCOMPARE(f.manualButton(5)->text(), QStringLiteral("Relay 5 OFF"));
        QCOMPARE(f.stepBar(5)->text(), QStringLiteral("Relay 5 OFF"));
        QCOMPARE(f.labels.turnOn(5), QByteArray("L04"));
        // The next save writes the whole table.
        f.close();
        QCOMPARE(readAll(FileName), imageOf(slotsOf(f.labels)));
        QCOMPARE(QFileInfo(FileName).size(), 320);
    }

    // Bytes beyond the 320th are ignored, and a save cuts them away.
    void longFile()
    {
        QByteArray bytes = imageOf(numbered()) + QByteArray(80, 'Q');
        bytes[319] = 'Q';  // the last record's filler, after its NUL
        writeAll(FileName, bytes);
        LabelTable loaded;
        QVERIFY(LabelFile::load(FileName, loaded));
        QCOMPARE(slotsOf(loaded), numbered());
        QCOMPARE(readAll(FileName), bytes);

        Rig rig(1);
        QCOMPARE(rig.form->manualButton(8)->text(), QStringLiteral("L15"));
        QTest::mouseClick(rig.form->manualButton(8), Qt::MiddleButton);
        QCOMPARE(readAll(FileName), imageOf(numbered()));
    }

    // A directory in the file's place: nothing loads, no save succeeds, the
    // directory stays and the operator goes on working.
    void fileNameTakenByDirectory()
    {
        QVERIFY(QDir().mkdir(FileName));
        writeAll(QStringLiteral("labels.dat/keep"), "keep");
        LabelTable loaded;
        loaded.setSlot(0, "mine");
        QVERIFY(!LabelFile::load(FileName, loaded));

        StderrCapture err;
        {
            Rig rig(1);
            TForm1& f = *rig.form;
            QCOMPARE(slotsOf(f.labels), defaults());
            f.labels.setSlot(0, "Lamp on");
            click(f.manualButton(1));
            QCOMPARE(rig.lastWrite(), 0x00);
            QCOMPARE(f.manualButton(1)->text(), QStringLiteral("Lamp on"));
            f.close();
            QCOMPARE(f.errorsReported(), 0);
        }
        const QByteArray messages = err.text();
        QVERIFY2(messages.contains("labels not saved"), messages.constData());
        QVERIFY(QFileInfo(FileName).isDir());
        QCOMPARE(readAll(QStringLiteral("labels.dat/keep")), QByteArray("keep"));
        QString error;
        QVERIFY(!LabelFile::save(FileName, LabelTable(), &error));
        QVERIFY(!error.isEmpty());
    }

    // A read-only labels.dat is not loaded (the defaults are shown) and is
    // never replaced; each skipped save is reported on stderr.
    void readOnlyFileLeftAlone()
    {
        AS_ORDINARY_USER();
        const QByteArray mine = imageOf(numbered());
        writeAll(FileName, mine);
        QVERIFY(QFile::setPermissions(FileName, QFileDevice::ReadOwner | QFileDevice::ReadGroup |
                                                    QFileDevice::ReadOther));
        const auto permissions = QFileInfo(FileName).permissions();
        LabelTable loaded;
        QVERIFY(!LabelFile::load(FileName, loaded));

        StderrCapture err;
        {
            Rig rig(1);
            TForm1& f = *rig.form;
            QCOMPARE(slotsOf(f.labels), defaults());
            QCOMPARE(f.manualButton(3)->text(), QStringLiteral("Relay 3 OFF"));
            QTest::mouseClick(f.manualButton(3), Qt::RightButton);
            QCOMPARE(readAll(FileName), mine);
            f.close();
        }
        QVERIFY2(err.text().contains("labels not saved"), "the skipped save was not reported");
        QCOMPARE(readAll(FileName), mine);
        QCOMPARE(QFileInfo(FileName).permissions(), permissions);
        QCOMPARE(QDir::current().entryList(QDir::Files | QDir::Hidden), QStringList{FileName});
    }

    // A save that fails part-way (here: no new file can be made in the
    // folder) keeps the old file whole.
    void failedSaveKeepsOldFile()
    {
        AS_ORDINARY_USER();
        const QByteArray mine = imageOf(numbered());
        writeAll(FileName, mine);
        const QString dir = QDir::currentPath();
        QVERIFY(QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const auto restore = qScopeGuard([&] {
            QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner);
        });

        StderrCapture err;
        {
            Rig rig(1);
            TForm1& f = *rig.form;
            QCOMPARE(slotsOf(f.labels), numbered());  // the file itself is writable
            f.labels.setSlot(0, "changed");
            QTest::mouseClick(f.manualButton(1), Qt::MiddleButton);
            QCOMPARE(readAll(FileName), mine);
            f.close();
            QCOMPARE(f.errorsReported(), 0);
        }
        QVERIFY2(err.text().contains("labels not saved"), "the failed save was not reported");
        QCOMPARE(readAll(FileName), mine);
        QCOMPARE(QDir::current().entryList(QDir::Files | QDir::Hidden), QStringList{FileName});
    }

private:
    std::unique_ptr<WorkDir> work_;
};

QTEST_MAIN(LabelFileTest)
#include "tst_labels.moc"
