// Start-up, board discovery and board selection.
#include "window_fixture.h"

#include "boardlink/ftdi_library.h"

using namespace fixture;

class StartupTest : public WindowTest {
    Q_OBJECT
private slots:
    void startWithoutBoard()
    {
        Rig rig(0);
        TForm1& f = *rig.form;
        QCOMPARE(f.windowTitle(), QStringLiteral("Kestrune  ver. 1.3"));
        QCOMPARE(f.ComboBox1->currentText(), QStringLiteral("No Boards Found"));
        QCOMPARE(f.ComboBox1->count(), 0);
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board not found !"));
        QCOMPARE(f.Panel27->color(), Red);
        QCOMPARE(rig.allRows(), QStringList{QStringLiteral("00000000-0")});
        QVERIFY(!f.Timer1->isActive());
    }

    // The real libftdi1 backend on a machine without an FTDI device.
    void startOnLibftdiWithoutBoard()
    {
        FtdiLibrary library;
        std::uint32_t count = 0;
        library.countDevices(count);
        if (count != 0)
            QSKIP("an FTDI device is attached");
        TForm1 form(library);
        QCOMPARE(form.ComboBox1->currentText(), QStringLiteral("No Boards Found"));
        QCOMPARE(form.Panel27->text(), QStringLiteral("Board not found !"));
        click(form.Button9);  // reaches no board, and nothing breaks
        QCOMPARE(form.RelayState, 0xFF);
    }

    // The board table has 35 slots: more boards than that are not listed.
    void startWithBoards_data()
    {
        QTest::addColumn<int>("boards");
        QTest::addColumn<int>("listed");
        QTest::newRow("one") << 1 << 1;
        QTest::newRow("twelve") << 12 << 12;
        QTest::newRow("forty") << 40 << 35;
    }
    void startWithBoards()
    {
        QFETCH(int, boards);
        QFETCH(int, listed);
        Rig rig(boards);
        TForm1& f = *rig.form;
        QCOMPARE(f.ComboBox1->currentText(), QStringLiteral("Relay Board 1"));
        QCOMPARE(f.ComboBox1->count(), listed);
        QCOMPARE(f.ComboBox1->currentIndex(), -1);
        QCOMPARE(f.ComboBox1->itemText(0), boards == 1 ? QStringLiteral("Relay Board 1")
                                                       : QStringLiteral("Relay Board 1 "));
        // Discovery alone reports nothing in the status strip.
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board not found !"));
        // Every listed board is open in bit-bang mode; nothing is written.
        for (int b = 0; b < boards; ++b) {
            QCOMPARE(rig.library.isOpen(b), b < listed);
            QCOMPARE(rig.library.bitMode(b), b < listed ? 0x01 : 0x00);
            QVERIFY(rig.writes(b).empty());
        }
    }

    // Dropping the list down finds and reopens the boards; the selection stays.
    void dropDownRediscovers()
    {
        Rig rig(3);
        TForm1& f = *rig.form;
        rig.pickBoard(1);
        rig.dropDown();
        QCOMPARE(f.ComboBox1->count(), 3);
        QCOMPARE(f.boards.selected, 1);
        for (int b = 0; b < 3; ++b) {
            QCOMPARE(rig.library.openCount(b), 2);
            QCOMPARE(rig.library.closeCount(b), 1);
        }
        click(f.Button9);  // the renewed handle answers
        QCOMPARE(rig.writes(1), Bytes{0xFF});
    }

    // Picking a board shows its pins in every view and in the current row.
    void pickingABoard()
    {
        Rig rig(2);
        TForm1& f = *rig.form;
        rig.library.forcePins(1, 0x81, 0x81);
        f.Edit9->setText(QStringLiteral("5"));
        rig.pickBoard(1);
        QCOMPARE(f.boards.selected, 1);
        QCOMPARE(f.Panel27->color(), Lime);
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board found !"));
        QCOMPARE(rig.indicators(), indicatorsFor(0x81));
        QCOMPARE(rig.bars(), barsFor(0x81));
        QCOMPARE(rig.row(0), QStringLiteral("10000001-5"));
        QVERIFY(rig.writes(1).empty());

        // Closing the window closes the first board only and saves the
        // labels, changed or not.
        QVERIFY(!QFile::exists(QStringLiteral("labels.dat")));
        f.close();
        QCOMPARE(rig.library.closeCount(0), 1);
        QCOMPARE(rig.library.closeCount(1), 0);
        QCOMPARE(QFileInfo(QStringLiteral("labels.dat")).size(), 320);
    }

    // Text typed into the board box picks no entry and names no board.
    void typedTextLeavesSelection()
    {
        Rig rig(2);
        TForm1& f = *rig.form;
        rig.pickBoard(1);
        const auto calls = rig.library.calls().size();
        f.ComboBox1->setFocus();
        f.ComboBox1->lineEdit()->selectAll();
        QTest::keyClicks(f.ComboBox1->lineEdit(), QStringLiteral("Board 7"));
        QTest::keyClick(f.ComboBox1->lineEdit(), Qt::Key_Return);
        QCOMPARE(f.boards.selected, 1);
        QCOMPARE(rig.library.calls().size(), calls);
        QCOMPARE(f.ComboBox1->count(), 2);
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board found !"));
    }
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
