// The program list: Add, Clear and Clear all, which operator actions load the
// current row, and rows too short to hold a pattern.
#include "window_fixture.h"

using namespace fixture;

class ProgramListTest : public WindowTest {
    Q_OBJECT
private slots:
    // A click loads a row, the current one again too: board, bars,
    // indicators, captions and timer value; the bars keep their captions, and
    // any character but "0" counts as on. A keyboard move loads once; a
    // change of the row count loads nothing.
    void whatLoadsARow()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        rig.program({"00000000-0", "1x100000-15", "00110000-4"});
        const QStringList barCaptions = rig.barCaptions();
        rig.clickRow(1);
        QCOMPARE(rig.bars(), barsFor(0x05));
        QCOMPARE(rig.indicators(), indicatorsFor(0x07));
        QCOMPARE(rig.row(1), QStringLiteral("11100000-15"));  // rebuilt from what was switched
        rig.clickRow(1);
        QCOMPARE(rig.writes(), (Bytes{0x07, 0x07}));
        QCOMPARE(rig.captions().mid(0, 4), (QStringList{offLabel(1), offLabel(2), offLabel(3), onLabel(4)}));
        QCOMPARE(rig.barCaptions(), barCaptions);
        QCOMPARE(f.Edit9->text(), QStringLiteral("15"));
        click(f.manualButton(4));  // relay operations write into the current row
        QCOMPARE(rig.row(1), QStringLiteral("11110000-15"));
        f.StringGrid4->setFocus();
        QTest::keyClick(f.StringGrid4, Qt::Key_Down);
        QTest::keyClick(f.StringGrid4, Qt::Key_Down);  // already on the last row
        QCOMPARE(rig.writes(), (Bytes{0x07, 0x07, 0x0F, 0x0C}));
        QCOMPARE(f.Edit9->text(), QStringLiteral("4"));
        click(f.Button21);  // Clear drops the current row, loading nothing
        QCOMPARE(rig.allRows(), (QStringList{"00000000-0", "11110000-15"}));
        QCOMPARE(rig.current(), 1);
        QCOMPARE(rig.writes().size(), std::size_t(4));
        QCOMPARE(rig.bars(), barsFor(0x0C));
        QCOMPARE(f.Edit9->text(), QStringLiteral("4"));
    }

    // Add appends a copy of the current row and loads it once; Clear leaves
    // the last row.
    void addAndClear()
    {
        Rig rig(1);
        rig.program({"10000000-3", "01000000-12"});
        rig.clickRow(1);
        click(rig.form->Button23);
        QCOMPARE(rig.allRows(), (QStringList{"10000000-3", "01000000-12", "01000000-12"}));
        QCOMPARE(rig.current(), 2);
        QCOMPARE(rig.writes(), (Bytes{0x02, 0x02}));
        for (int i = 0; i < 3; ++i)
            click(rig.form->Button21);
        QCOMPARE(rig.allRows(), QStringList{"10000000-3"});
        QCOMPARE(rig.writes().size(), std::size_t(2));
    }

    // Clear all leaves "00000000-0": row 1, then row 0 are made current (row
    // 1 only when it is not current already), each loaded once.
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
    }

    // An empty row: positions 1 and 2 read its line end and lower their
    // bars, position 3 raises a range error; what was done stays done. A
    // 7-character row takes the line end as position 8 when its duration is
    // written; a 5-character row raises a range error there.
    void rowsTooShort()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        rig.program({"11100000-4", "", "1010101", "10101"});
        rig.clickRow(0);
        rig.clickRow(1);
        QCOMPARE(rig.bars(), (QList<int>{Down, Down, Up, Down, Down, Down, Down, Down}));
        QString box = takeErrorBox();
        QVERIFY2(box.contains(QStringLiteral("row 2")) && box.contains(QStringLiteral("Range error")), qPrintable(box));
        QCOMPARE(rig.writes(), Bytes{0x07});
        QCOMPARE(rig.indicators(), indicatorsFor(0x07));
        QCOMPARE(f.Edit9->text(), QStringLiteral("4"));
        QCOMPARE(rig.row(1), QString());

        f.StringGrid4->setCurrentRow(2);
        rig.typeDuration(QStringLiteral("5"));
        QCOMPARE(rig.row(2), QStringLiteral("10101011-5"));
        f.StringGrid4->setCurrentRow(3);
        rig.typeDuration(QStringLiteral("7"));
        box = takeErrorBox();
        QVERIFY2(box.contains(QStringLiteral("row 4")) && box.contains(QStringLiteral("10101")), qPrintable(box));
        QCOMPARE(rig.row(3), QStringLiteral("10101"));
        QCOMPARE(f.errorsReported(), 2);
    }
};

QTEST_MAIN(ProgramListTest)
#include "tst_program_list.moc"
