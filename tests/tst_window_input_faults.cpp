// Input that must not act by itself (typed characters in the program list, a
// wheel turn over the board list), the program list's colour, and the names
// and places that files are saved under.
#include "window_fixture.h"

#include "timer/program_file.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QWheelEvent>

using namespace fixture;

class InputFaultsTest : public QObject {
    Q_OBJECT
private slots:
    // Typed characters neither move nor load a row; the arrow, Page and
    // Ctrl+Home/End keys move and load the row they reach, once.
    void keysInTheProgramList_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("row");
        for (const auto& [keys, from, row] : {std::tuple{"1", 0, 0}, {"0", 0, 0}, {"A", 0, 0}, {"Space", 0, 0},
                                              {"1, 0", 0, 0}, {"1, 0", 2, 2}, {"Down", 0, 1}, {"Up", 2, 1},
                                              {"PgDown", 0, 2}, {"PgUp", 2, 0}, {"Ctrl+End", 0, 2}, {"Ctrl+Home", 2, 0}})
            QTest::addRow("%s from %d", keys, from) << QString::fromLatin1(keys) << from << row;
    }
    void keysInTheProgramList()
    {
        QFETCH(QString, keys);
        QFETCH(int, from);
        QFETCH(int, row);
        Rig rig(1);
        rig.s().program.replaceAll(rowsOf({"00000000-1", "10000000-2", "01000000-3"}));  // row n switches byte n
        rig.s().program.setCurrent(from);
        QTest::keySequence(rig.form->StringGrid4, QKeySequence::fromString(keys));
        QCOMPARE(rig.form->StringGrid4->currentRow(), row);
        QCOMPARE(rig.s().currentRow(), row);
        QCOMPARE(rig.writes(), row == from ? Bytes{} : Bytes{std::uint8_t(row)});
    }

    // A wheel turn over "Select Board" picks a board only while the box has
    // the keyboard focus.
    void wheelOverTheBoardList_data()
    {
        QTest::addColumn<bool>("focused");
        QTest::newRow("without focus") << false;
        QTest::newRow("with focus") << true;
    }
    void wheelOverTheBoardList()
    {
        QFETCH(bool, focused);
        Rig rig(2);
        BoardComboBox* box = rig.form->ComboBox1;
        rig.form->show();
        QVERIFY(QTest::qWaitForWindowActive(rig.form));
        if (focused)
            box->setFocus(Qt::TabFocusReason);
        QCOMPARE(box->hasFocus(), focused);
        QSignalSpy picked(box, &QComboBox::activated);
        QWheelEvent turn({9, 9}, box->mapToGlobal(QPointF{9, 9}), {}, {0, -120}, Qt::NoButton, {}, Qt::NoScrollPhase, false);
        QApplication::sendEvent(box, &turn);
        QCOMPARE(picked.count(), focused ? 1 : 0);
        QCOMPARE(rig.s().boardIndex, focused ? 0 : -1);
        QCOMPARE(box->focusPolicy(), Qt::StrongFocus);  // a wheel turn alone takes no focus
    }

    // The program list is drawn in the window's face colour, not white.
    void programListColour()
    {
        Rig rig(1);
        QWidget* cells = rig.form->StringGrid4->viewport();
        const QRgb face = QApplication::palette().color(QPalette::Button).rgb();
        QVERIFY(face != QColor(Qt::white).rgb());
        QCOMPARE(cells->grab().toImage().pixelColor(cells->width() / 2, cells->height() - 4).rgb(), face);  // below the row
    }

    // ".txt" is added unless the name ends with it, in any case.
    void saveName_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("saved");
        QTest::newRow("capitals") << "/d/PROG.TXT" << "/d/PROG.TXT";
        QTest::newRow("mixed") << "/d/prog.Txt" << "/d/prog.Txt";
        QTest::newRow("none") << "/d/PROG.TXT.bak" << "/d/PROG.TXT.bak.txt";
    }
    void saveName()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, saved);
        QCOMPARE(ProgramFile::savePath(chosen), saved);
    }

    // Where no new file can be made, labels.dat and program files are
    // written in place; a read-only file is never written.
    void readOnlyPlaces_data()
    {
        QTest::addColumn<bool>("labels");
        QTest::addColumn<bool>("folderWritable");
        QTest::addColumn<int>("file");  // 0 none, 1 writable (saved), 2 read-only
        for (const bool labels : {true, false})
            for (const auto& [name, folder, file] : {std::tuple{"read-only folder, writable file", false, 1},
                                                     {"read-only folder, read-only file", false, 2},
                                                     {"read-only folder, no file", false, 0}, {"read-only file", true, 2}})
                QTest::addRow("%s, %s", labels ? "labels.dat" : "program", name) << labels << folder << file;
    }
    void readOnlyPlaces()
    {
        AS_ORDINARY_USER();
        const WorkDir work;
        QFETCH(bool, labels);
        QFETCH(bool, folderWritable);
        QFETCH(int, file);
        const bool saved = file == 1;
        const QString name = labels ? QStringLiteral("labels.dat") : QStringLiteral("prog.txt");
        const QString path = work.file(name), dir = QDir::currentPath();
        const QByteArray old("old\r\n");
        if (file)
            writeFile(path, old);
        QVERIFY(file < 2 || QFile::setPermissions(path, QFileDevice::ReadOwner));
        const auto owner = QFileDevice::ReadOwner | QFileDevice::ExeOwner;
        QVERIFY(folderWritable || QFile::setPermissions(dir, owner));
        const auto restore = qScopeGuard([&] { QFile::setPermissions(dir, owner | QFileDevice::WriteOwner); });
        const LabelTable table;
        const std::vector<QByteArray> rows{"10000000-1"};
        QString error;
        QCOMPARE(labels ? LabelFile::save(path, table, &error) : ProgramFile::write(path, rows, &error), saved);
        QVERIFY2(saved ? error.isEmpty() : error.contains(name), qPrintable(error));
        QCOMPARE(readFile(path), saved ? (labels ? table.image() : ProgramFile::serialize(rows)) : file ? old : "<missing>");
        QCOMPARE(work.files(), file ? QStringList{name} : QStringList{});
    }
};

QTEST_MAIN(InputFaultsTest)
#include "tst_window_input_faults.moc"
