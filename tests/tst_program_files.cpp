// Saving the program list to a file and opening one back, through the
// window's file dialogs; the bytes on disk are checked.
#include "window_fixture.h"

#include "timer/program_file.h"

using namespace fixture;

namespace {
// Everything a save, or an open that fails, must leave alone.
auto views(const Rig& rig)
{
    return std::make_tuple(rig.allRows(), rig.current(), rig.writes(), rig.form->Edit9->text(),
                           rig.bars(), rig.indicators(), rig.captions());
}
}  // namespace

class ProgramFilesTest : public WindowTest {
    Q_OBJECT
private slots:
    // Saved rows are CR LF lines, here along a path of over 300 characters;
    // opened, they replace the list with row 0 current and nothing loaded.
    void roundTrip()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        const QString folder = QDir::currentPath() + '/' + QString(100, 'a') + '/' + QString(100, 'b') + '/' + QString(100, 'c');
        QVERIFY(QDir().mkpath(folder));
        rig.program({"00000000-5", "11000000-10", "00100001-9999", "00000000-0"});
        rig.clickRow(1);
        const auto before = views(rig);
        clickThrough(f.Button20, {chooseFile(folder + "/two")});
        QVERIFY(views(rig) == before);
        QCOMPARE(readFile(folder + "/two.txt"), QByteArray("00000000-5\r\n11000000-10\r\n00100001-9999\r\n00000000-0\r\n"));
        click(f.Button22);  // Clear all
        const Bytes cleared = rig.writes();
        clickThrough(f.Button19, {chooseFile(folder + "/two.txt")});
        QCOMPARE(rig.allRows(), std::get<0>(before));
        QCOMPARE(rig.current(), 0);
        QCOMPARE(rig.writes(), cleared);
    }

    // Cancelled dialogs change nothing. ".txt" is added once; an existing
    // file is replaced only when confirmed.
    void cancelAndOverwrite()
    {
        Rig rig(1);
        const QString prog = work().file("prog.txt");
        writeFile(prog, "old\r\n");
        rig.program({"10000000-1", "01000000-2", "00100000-3"});
        rig.clickRow(2);
        const auto before = views(rig);
        clickThrough(rig.form->Button20, {cancelDialog()});
        clickThrough(rig.form->Button19, {cancelDialog()});
        QString question;
        clickThrough(rig.form->Button20, {chooseFile(prog), pressMessageButton(QMessageBox::No, &question)});
        QVERIFY2(question.contains(QDir::toNativeSeparators(prog)), qPrintable(question));
        QVERIFY(views(rig) == before);
        QCOMPARE(readFile(prog), QByteArray("old\r\n"));
        clickThrough(rig.form->Button20, {chooseFile(work().file("prog")), pressMessageButton(QMessageBox::Yes)});
        QCOMPARE(readFile(prog), QByteArray("10000000-1\r\n01000000-2\r\n00100000-3\r\n"));
        writeFile(prog, "old\r\n");
        clickThrough(rig.form->Button20, {chooseFile(prog), pressMessageButton(QMessageBox::Yes)});
        QCOMPARE(readFile(prog).size(), 36);
        QCOMPARE(work().files(), QStringList{"prog.txt"});
    }

    // Lines end at LF or CR LF; a line of more than 24 characters is cut into
    // rows of 24; the last line needs no line end.
    void readingLines_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<Rows>("rows");
        const Rows three{"10000000-3", "01000000-0", "00000000-2"};
        QTest::newRow("LF") << QByteArray("10000000-3\n01000000-0\n00000000-2\n") << three;
        QTest::newRow("last line without line end") << QByteArray("10000000-3\r\n01000000-0\r\n00000000-2") << three;
        QTest::newRow("empty file") << QByteArray() << Rows{""};
        QTest::newRow("30 characters") << QByteArray("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123\r\n")
                                       << Rows{"ABCDEFGHIJKLMNOPQRSTUVWX", "YZ0123"};
        QTest::newRow("24 characters") << QByteArray("ABCDEFGHIJKLMNOPQRSTUVWX\r\n1\r\n")
                                       << Rows{"ABCDEFGHIJKLMNOPQRSTUVWX", "", "1"};
        QTest::newRow("CR only") << QByteArray("10000000-3\r01000000-0\r") << Rows{"10000000-3\r01000000-0\r"};
        const QByteArray step("10100000-15\r\n");
        QTest::newRow("several megabytes") << step.repeated(300000) << Rows(300000, "10100000-15");
        QTest::newRow("NUL and binary") << QByteArray("1\0\0\x01\xff\xe9\x80-7\r\n\xfe\n", 13)
                                        << Rows{QByteArray("1\0\0\x01\xff\xe9\x80-7", 9), QByteArray("\xfe")};
    }
    void readingLines()
    {
        QFETCH(QByteArray, content);
        QFETCH(Rows, rows);
        Rig rig(1);
        writeFile(work().file("in.txt"), content);
        clickThrough(rig.form->Button19, {chooseFile(work().file("in.txt"))});
        QCOMPARE(rig.form->programModel->rows(), rows);
        QCOMPARE(rig.current(), 0);
        QVERIFY(rig.writes().empty());
        QCOMPARE(rig.form->errorsReported(), 0);
    }

    // A file that cannot be opened, or is larger than 32 MB, leaves the list
    // as it was and a message names the file.
    void openFailuresKeepTheList_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing file") << "gone.txt" << "does not exist";
        QTest::newRow("over 32 MB") << "huge.txt" << "32 MB";
        QTest::newRow("folder") << "folder.txt" << "folder";
    }
    void openFailuresKeepTheList()
    {
        QFETCH(QString, name);
        QFETCH(QString, reason);
        Rig rig(1);
        const QString path = work().file(name);
        if (name.startsWith(QLatin1String("folder")))
            QVERIFY(QDir().mkdir(path));
        if (name.startsWith(QLatin1String("huge"))) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(ProgramFile::MaxFileSize + 1));
        }
        rig.program({"10000000-1", "01000000-2", "00100000-3"});
        rig.clickRow(2);
        const auto before = views(rig);
        QString message;
        clickThrough(rig.form->Button19, {chooseFile(path, false), pressMessageButton(QMessageBox::Ok, &message)});
        QVERIFY2(message.contains(QDir::toNativeSeparators(path)) && message.contains(reason), qPrintable(message));
        QVERIFY(views(rig) == before);
    }

    // A save that fails keeps the file that was there whole, leaves no
    // temporary behind and says so, naming the file.
    void failedSaves()
    {
        Rig rig(1);
        rig.program({"10000000-1", "01000000-2", "00100000-3", "00010000-4", "00001000-5"});
        const auto before = views(rig);
        writeFile(work().file("plain"), "x");  // named as the folder of the target
        const QString target = work().file("plain/prog");
        QString message;
        clickThrough(rig.form->Button20, {chooseFile(target), pressMessageButton(QMessageBox::Ok, &message)});
        QVERIFY2(message.contains(QDir::toNativeSeparators(target + ".txt")), qPrintable(message));

        // The disk takes no more than 16 bytes: the last buffered write falls short.
        const QString keep = work().file("keep.txt");
        writeFile(keep, "00000000-9\r\n");
        std::optional<FileSizeLimit> full;
        message.clear();
        clickThrough(rig.form->Button20, {chooseFile(keep),
                                          pressMessageButton(QMessageBox::Yes, nullptr, [&] { full.emplace(16); }),
                                          pressMessageButton(QMessageBox::Ok, &message)});
        full.reset();
        QVERIFY2(message.contains(QDir::toNativeSeparators(keep)), qPrintable(message));
        QCOMPARE(readFile(keep), QByteArray("00000000-9\r\n"));
        QCOMPARE(work().files(), (QStringList{"keep.txt", "plain"}));
        QCOMPARE(readFile(work().file("plain")), QByteArray("x"));
        QVERIFY(views(rig) == before);
    }

    // While a step is counted its row shows the remaining count; the file
    // gets the step's own duration. The run goes on while the dialog is open.
    void saveDuringARunKeepsStepDurations()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        rig.program({"10000000-5", "01000000-3"});
        rig.typeDuration(QStringLiteral("9999"));
        f.TrackBar1->setValue(100);
        rig.clickRow(1);
        click(f.Button34);
        rig.tick(3);
        QCOMPARE(rig.row(0), QStringLiteral("10000000-9996"));
        clickThrough(f.Button20, {chooseFile(work().file("running"))});
        QCOMPARE(readFile(work().file("running.txt")), QByteArray("10000000-9999\r\n01000000-3\r\n"));
        QVERIFY(f.Timer1->isEnabled());
        QCOMPARE(rig.current(), 0);
    }
};

QTEST_MAIN(ProgramFilesTest)
#include "tst_program_files.moc"
