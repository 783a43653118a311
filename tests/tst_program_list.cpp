// The program list: Add, Clear and Clear all, and which operator actions
// load the current row.
#include "window_fixture.h"

using namespace fixture;

class ProgramListTest : public WindowTest {
    Q_OBJECT
private slots:
    // Add appends a copy of the current row and loads it, once.
    void addCopiesTheCurrentRow()
    {
        Rig rig(1);
        rig.program({"10000000-3", "01000000-12", "00000000-2"});
        rig.clickRow(1);
        click(rig.form->Button23);
        QCOMPARE(rig.allRows(), (QStringList{"10000000-3", "01000000-12", "00000000-2", "01000000-12"}));
        QCOMPARE(rig.current(), 3);
        QCOMPARE(rig.writes(), (Bytes{0x02, 0x02}));
        QCOMPARE(rig.form->Edit9->text(), QStringLiteral("12"));
    }

    // Clear drops the last row and loads nothing, even when the current row
    // was the one dropped.
    void clear_data()
    {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("clicked");
        QTest::addColumn<QStringList>("left");
        QTest::newRow("one row") << QStringList{"00000000-6"} << 0 << QStringList{"00000000-6"};
        QTest::newRow("first row current") << QStringList{"10000000-1", "01000000-2", "00100000-3"} << -1
                                           << QStringList{"10000000-1", "01000000-2"};
        QTest::newRow("last row current") << QStringList{"10000000-2", "01100000-7"} << 1
                                          << QStringList{"10000000-2"};
    }
    void clear()
    {
        QFETCH(QStringList, rows);
        QFETCH(int, clicked);
        QFETCH(QStringList, left);
        Rig rig(1);
        rig.program(toRows(rows));
        if (clicked >= 0)
            rig.clickRow(clicked);
        const Bytes writes = rig.writes();
        const auto views = std::make_tuple(rig.bars(), rig.indicators(), rig.captions(),
                                           rig.form->Edit9->text());
        click(rig.form->Button21);
        QCOMPARE(rig.allRows(), left);
        QCOMPARE(rig.current(), 0);
        QCOMPARE(rig.writes(), writes);
        QVERIFY(std::make_tuple(rig.bars(), rig.indicators(), rig.captions(),
                                rig.form->Edit9->text()) == views);
    }

    // Clear all leaves "00000000-0": row 1, then row 0 are made current (row 1
    // only when it is not current already), each loaded once.
    void clearAll_data()
    {
        QTest::addColumn<int>("clicked");
        QTest::addColumn<Bytes>("writes");
        QTest::newRow("from row 3") << 3 << Bytes{0xFF, 0x00};
        QTest::newRow("from row 0") << 0 << Bytes{0x01, 0x00, 0x00};
    }
    void clearAll()
    {
        QFETCH(int, clicked);
        QFETCH(Bytes, writes);
        Rig rig(1);
        rig.program({"10000000-1", "01000000-2", "00100000-3", "11111111-44", "00010000-5"});
        rig.clickRow(clicked);
        click(rig.form->Button22);
        QCOMPARE(rig.allRows(), QStringList{QStringLiteral("00000000-0")});
        QCOMPARE(rig.current(), 0);
        QCOMPARE(rig.writes(), writes);
        QCOMPARE(rig.form->Edit9->text(), QStringLiteral("0"));
        QCOMPARE(rig.bars(), barsFor(0x00));
        QCOMPARE(rig.indicators(), indicatorsFor(0x00));
    }

    // Loading a row sets the board, bars, indicators, captions and timer
    // value; the bars keep their captions.
    void loadingARow()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        rig.program({"00000000-0", "10100000-15"});
        const QStringList barCaptions = rig.barCaptions();
        rig.clickRow(1);
        QCOMPARE(rig.writes(), Bytes{0x05});
        QCOMPARE(rig.bars(), barsFor(0x05));
        QCOMPARE(rig.indicators(), indicatorsFor(0x05));
        QCOMPARE(rig.captions().mid(0, 3), (QStringList{offLabel(1), onLabel(2), offLabel(3)}));
        QCOMPARE(rig.barCaptions(), barCaptions);
        QCOMPARE(f.Edit9->text(), QStringLiteral("15"));
        QCOMPARE(rig.row(1), QStringLiteral("10100000-15"));
        rig.clickRow(1);  // the current row again: loaded again
        QCOMPARE(rig.writes(), (Bytes{0x05, 0x05}));
    }

    void keyboardMovesLoadOnce()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        rig.program({"11000000-3", "00110000-4"});
        f.StringGrid4->setFocus();
        QTest::keyClick(f.StringGrid4, Qt::Key_Down);
        QTest::keyClick(f.StringGrid4, Qt::Key_Down);  // already on the last row
        QCOMPARE(rig.writes(), Bytes{0x0C});
        QCOMPARE(f.Edit9->text(), QStringLiteral("4"));
        QTest::keyClick(f.StringGrid4, Qt::Key_Up);
        QCOMPARE(rig.current(), 0);
        QCOMPARE(rig.writes(), (Bytes{0x0C, 0x03}));
    }

    void relayOperationsWriteIntoTheCurrentRow()
    {
        Rig rig(1);
        rig.program({"00000000-7", "11111111-1"});
        rig.clickRow(1);
        click(rig.form->manualButton(4));
        QCOMPARE(rig.allRows(), (QStringList{"00000000-7", "11101111-1"}));
    }

    // Any character but "0" counts as on; a changed timer value rebuilds the row.
    void oddPatternCharacter()
    {
        Rig rig(1);
        rig.program({"1x000000-5", "00000000-0"});
        rig.clickRow(0);
        QCOMPARE(rig.writes(), Bytes{0x03});
        QCOMPARE(rig.bars(), barsFor(0x01));
        QCOMPARE(rig.indicators(), indicatorsFor(0x03));
        QCOMPARE(rig.row(0), QStringLiteral("11000000-5"));
    }

    // An empty row: positions 1 and 2 read its line end and lower their bars,
    // position 3 raises a range error; what was done stays done, the rest is
    // not done, and the program goes on.
    void clickingAnEmptyRow()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        rig.program({"11100000-4", ""});
        rig.clickRow(0);
        rig.clickRow(1);
        QCOMPARE(rig.bars(), (QList<int>{Down, Down, Up, Down, Down, Down, Down, Down}));
        const QString box = takeErrorBox();
        QVERIFY2(box.contains(QStringLiteral("row 2")) && box.contains(QStringLiteral("Range error")),
                 qPrintable(box));
        QCOMPARE(f.errorsReported(), 1);
        QCOMPARE(rig.writes(), Bytes{0x07});
        QCOMPARE(rig.indicators(), indicatorsFor(0x07));
        QCOMPARE(f.Edit9->text(), QStringLiteral("4"));
        QCOMPARE(rig.current(), 1);
        QCOMPARE(rig.row(1), QString());
        rig.clickRow(0);
        click(f.Button23);
        QCOMPARE(rig.allRows(), (QStringList{"11100000-4", "", "11100000-4"}));
        QCOMPARE(rig.writes(), (Bytes{0x07, 0x07, 0x07}));
        QCOMPARE(f.errorsReported(), 1);
    }
};

QTEST_MAIN(ProgramListTest)
#include "tst_program_list.moc"
