// The program list: loading rows, Add, Clear and Clear all, and which
// operator actions load the current row.
#include "window_fixture.h"

using namespace fixture;

namespace {
constexpr int Up = TForm1::BarRaised;
constexpr int Down = TForm1::BarLowered;
constexpr int Red = 255;
constexpr int Lime = 65280;
using Bytes = std::vector<std::uint8_t>;

QString on(int relay) { return QStringLiteral("Relay %1 ON").arg(relay); }
QString off(int relay) { return QStringLiteral("Relay %1 OFF").arg(relay); }
QStringList allOn() { QStringList l; for (int r = 1; r <= 8; ++r) l << on(r); return l; }

// Puts rows into the list the way an opened file does: row 0 current, nothing loaded.
void program(Rig& rig, std::vector<QByteArray> rows)
{
    rig.form->programModel->replaceAll(std::move(rows));
    rig.form->StringGrid4->setCurrentRow(0);
}
}  // namespace

class ProgramListTest : public QObject {
    Q_OBJECT
private slots:
    void init() { work_ = std::make_unique<WorkDir>(); }
    void cleanup()
    {
        QCOMPARE(pendingErrors(), 0);
        work_.reset();
    }

    void startList()
    {
        Rig rig(1);
        QCOMPARE(rig.allRows(), QStringList{QStringLiteral("00000000-0")});
        QCOMPARE(rig.current(), 0);
        QVERIFY(rig.writes().empty());
    }

    void addOnStartList()
    {
        Rig rig(1);
        click(rig.form->Button23);
        QCOMPARE(rig.allRows(), (QStringList{QStringLiteral("00000000-0"), QStringLiteral("00000000-0")}));
        QCOMPARE(rig.current(), 1);
        QCOMPARE(rig.writes(), Bytes{0x00});
        QCOMPARE(rig.form->Edit9->text(), QStringLiteral("0"));
    }

    void addCopiesTheCurrentRowAndLoadsOnce()
    {
        Rig rig(1);
        program(rig, {"10000000-3", "01000000-12", "00000000-2"});
        rig.clickRow(1);
        QCOMPARE(rig.writes(), Bytes{0x02});
        click(rig.form->Button23);
        QCOMPARE(rig.allRows(), (QStringList{"10000000-3", "01000000-12", "00000000-2", "01000000-12"}));
        QCOMPARE(rig.current(), 3);
        QCOMPARE(rig.writes(), (Bytes{0x02, 0x02}));
        QCOMPARE(rig.form->Edit9->text(), QStringLiteral("12"));
    }

    void clearOnOneRow()
    {
        Rig rig(1);
        rig.form->Edit9->setText(QStringLiteral("6"));
        click(rig.form->Button21);
        QCOMPARE(rig.allRows(), QStringList{QStringLiteral("00000000-6")});
        QCOMPARE(rig.current(), 0);
        QVERIFY(rig.writes().empty());
        QCOMPARE(rig.form->Edit9->text(), QStringLiteral("6"));
    }

    void clearWithFirstRowSelected()
    {
        Rig rig(1);
        program(rig, {"10000000-1", "01000000-2", "00100000-3"});
        click(rig.form->Button21);
        QCOMPARE(rig.allRows(), (QStringList{"10000000-1", "01000000-2"}));
        QCOMPARE(rig.current(), 0);
        QVERIFY(rig.writes().empty());
    }

    void clearWithLastRowSelectedKeepsItsStep()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"10000000-2", "01100000-7"});
        rig.clickRow(1);
        const auto bars = rig.bars();
        const auto indicators = rig.indicators();
        const auto captions = rig.captions();
        click(f.Button21);
        QCOMPARE(rig.allRows(), QStringList{QStringLiteral("10000000-2")});
        QCOMPARE(rig.current(), 0);
        QCOMPARE(rig.writes(), Bytes{0x06});
        QCOMPARE(rig.library.pins(0), 0x06);
        QCOMPARE(rig.bars(), bars);
        QCOMPARE(rig.bars(), (QList<int>{Down, Up, Up, Down, Down, Down, Down, Down}));
        QCOMPARE(rig.indicators(), indicators);
        QCOMPARE(rig.captions(), captions);
        QCOMPARE(f.Edit9->text(), QStringLiteral("7"));
        // The next relay operation writes the board's state into the row left.
        click(rig.button("Button11"));
        QCOMPARE(rig.allRows(), QStringList{QStringLiteral("01100001-7")});
        QCOMPARE(rig.lastWrite(), 0x86);
    }

    void clearAllOnFiveRows()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"10000000-1", "01000000-2", "00100000-3", "11111111-44", "00010000-5"});
        rig.clickRow(3);
        QCOMPARE(rig.library.pins(0), 0xFF);
        click(f.Button22);
        QCOMPARE(rig.allRows(), QStringList{QStringLiteral("00000000-0")});
        QCOMPARE(rig.current(), 0);
        // Cutting the list to two rows moves the selection to row 1 without a
        // load; making row 0 current then loads it once.
        QCOMPARE(rig.writes(), (Bytes{0xFF, 0x00}));
        QCOMPARE(rig.library.pins(0), 0x00);
        QCOMPARE(f.Edit9->text(), QStringLiteral("0"));
        QCOMPARE(rig.bars(), QList<int>(8, Down));
        QCOMPARE(rig.indicators(), QList<int>(8, Red));
        QCOMPARE(rig.captions(), allOn());
    }

    void clearAllFromTheFirstRow()
    {
        Rig rig(1);
        program(rig, {"10000000-1", "01000000-2", "00100000-3"});
        rig.clickRow(0);
        click(rig.form->Button22);
        // Row 1, then row 0 are made current: each is loaded once.
        QCOMPARE(rig.writes(), (Bytes{0x01, 0x00, 0x00}));
        QCOMPARE(rig.allRows(), QStringList{QStringLiteral("00000000-0")});
        QCOMPARE(rig.current(), 0);
    }

    void loadingARow()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"00000000-0", "10100000-15"});
        rig.clickRow(1);
        QCOMPARE(rig.current(), 1);
        QCOMPARE(rig.bars(), (QList<int>{Up, Down, Up, Down, Down, Down, Down, Down}));
        QCOMPARE(rig.writes(), Bytes{0x05});
        QCOMPARE(rig.indicators(), (QList<int>{Lime, Red, Lime, Red, Red, Red, Red, Red}));
        QCOMPARE(rig.captions(), (QStringList{off(1), on(2), off(3), on(4), on(5), on(6), on(7), on(8)}));
        QCOMPARE(f.Edit9->text(), QStringLiteral("15"));
        QCOMPARE(rig.row(1), QStringLiteral("10100000-15"));
    }

    void clickOnTheCurrentRowLoadsAgain()
    {
        Rig rig(1);
        program(rig, {"11000000-3", "00000000-0"});
        rig.clickRow(0);
        rig.clickRow(0);
        QCOMPARE(rig.writes(), (Bytes{0x03, 0x03}));
        QCOMPARE(rig.current(), 0);
    }

    void keyboardMovesLoadOnce()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"11000000-3", "00110000-4"});
        f.StringGrid4->setFocus();
        QTest::keyClick(f.StringGrid4, Qt::Key_Down);
        QCOMPARE(rig.current(), 1);
        QCOMPARE(rig.writes(), Bytes{0x0C});
        QCOMPARE(f.Edit9->text(), QStringLiteral("4"));
        QTest::keyClick(f.StringGrid4, Qt::Key_Down);  // already on the last row
        QCOMPARE(rig.current(), 1);
        QCOMPARE(rig.writes(), Bytes{0x0C});
        QTest::keyClick(f.StringGrid4, Qt::Key_Up);
        QCOMPARE(rig.current(), 0);
        QCOMPARE(rig.writes(), (Bytes{0x0C, 0x03}));
    }

    void relayOperationsWriteIntoTheCurrentRow()
    {
        Rig rig(1);
        program(rig, {"00000000-7"});
        rig.clickRow(0);  // the manual buttons now show their turn-on labels
        click(rig.button("Button4"));
        QCOMPARE(rig.row(0), QStringLiteral("00010000-7"));
        QCOMPARE(rig.lastWrite(), 0x08);
    }

    void oddPatternCharacter()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"1x000000-5", "00000000-0"});
        rig.clickRow(0);
        QCOMPARE(rig.bars(), (QList<int>{Up, Down, Down, Down, Down, Down, Down, Down}));
        QCOMPARE(rig.writes(), Bytes{0x03});
        QCOMPARE(f.indicator(2)->color(), Lime);
        QCOMPARE(rig.panel("Panel9")->color(), Lime);
        QCOMPARE(rig.button("Button3")->text(), off(2));
        // The timer value changed, so the row was rebuilt with "1" for "x".
        QCOMPARE(f.Edit9->text(), QStringLiteral("5"));
        QCOMPARE(rig.row(0), QStringLiteral("11000000-5"));
    }

    void clickingAnEmptyRow()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        program(rig, {"11100000-4", ""});
        rig.clickRow(0);
        const auto indicators = rig.indicators();
        const auto captions = rig.captions();
        rig.clickRow(1);
        // Positions 1 and 2 read the line end and lower their bars; position 3 fails.
        QCOMPARE(rig.bars(), (QList<int>{Down, Down, Up, Down, Down, Down, Down, Down}));
        const QString box = takeErrorBox();
        QVERIFY2(box.contains(QStringLiteral("row 2")), qPrintable(box));
        QVERIFY2(box.contains(QStringLiteral("Range error")), qPrintable(box));
        QCOMPARE(f.errorsReported(), 1);
        QCOMPARE(rig.writes(), Bytes{0x07});
        QCOMPARE(rig.indicators(), indicators);
        QCOMPARE(rig.captions(), captions);
        QCOMPARE(f.Edit9->text(), QStringLiteral("4"));
        QCOMPARE(rig.current(), 1);
        QCOMPARE(rig.row(1), QString());

        // The program goes on.
        rig.clickRow(0);
        QCOMPARE(rig.writes(), (Bytes{0x07, 0x07}));
        QCOMPARE(rig.bars(), (QList<int>{Up, Up, Up, Down, Down, Down, Down, Down}));
        click(f.Button23);
        QCOMPARE(rig.allRows(), (QStringList{"11100000-4", "", "11100000-4"}));
        QCOMPARE(rig.current(), 2);
        QCOMPARE(f.errorsReported(), 1);
    }

private:
    static int pendingErrors()
    {
        // An error box left open would block the next case.
        return QApplication::activeModalWidget() ? 1 : 0;
    }
    std::unique_ptr<WorkDir> work_;
};

QTEST_MAIN(ProgramListTest)
#include "tst_program_list.moc"
