// The step bars of the timer page and how they keep in step with the
// manual panel, the indicators and the current program row.
#include "window_fixture.h"

using namespace fixture;

namespace {
constexpr int Up = TForm1::BarRaised;
constexpr int Down = TForm1::BarLowered;
constexpr int Red = 255;
constexpr int Lime = 65280;

QString on(int relay) { return QStringLiteral("Relay %1 ON").arg(relay); }
QString off(int relay) { return QStringLiteral("Relay %1 OFF").arg(relay); }

QStringList barCaptions(const Rig& rig)
{
    QStringList out;
    for (int relay = 1; relay <= 8; ++relay)
        out << rig.form->stepBar(relay)->text();
    return out;
}
}  // namespace

class StepBarsTest : public QObject {
    Q_OBJECT
private slots:
    void init() { work_ = std::make_unique<WorkDir>(); }
    void cleanup() { work_.reset(); }

    void barsStartLoweredWithManualCaptions()
    {
        Rig rig(1);
        QCOMPARE(rig.bars(), QList<int>(8, Down));
        // No indicator is coloured yet at start-up: every caption is the
        // turn-off label, on the bars as on the manual buttons.
        for (int relay = 1; relay <= 8; ++relay) {
            QCOMPARE(rig.form->stepBar(relay)->text(), off(relay));
            QCOMPARE(rig.form->manualButton(relay)->text(), off(relay));
        }
        QCOMPARE(rig.button("Button18")->x(), 16);
        QCOMPARE(rig.button("Button11")->x(), 576);
    }

    void clickTogglesAndWritesOnce()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        f.Edit9->setText(QStringLiteral("4"));
        click(rig.button("Button16"));  // relay 3
        QCOMPARE(rig.bars(), (QList<int>{Down, Down, Up, Down, Down, Down, Down, Down}));
        QCOMPARE(rig.writes(), (std::vector<std::uint8_t>{0x04}));
        QCOMPARE(rig.library.pins(0), 0x04);
        QCOMPARE(rig.indicators(), (QList<int>{Red, Red, Lime, Red, Red, Red, Red, Red}));
        QCOMPARE(rig.row(0), QStringLiteral("00100000-4"));
        QCOMPARE(f.manualButton(3)->text(), off(3));
        QCOMPARE(f.stepBar(3)->text(), off(3));

        click(rig.button("Button16"));
        QCOMPARE(rig.bars(), QList<int>(8, Down));
        QCOMPARE(rig.writes(), (std::vector<std::uint8_t>{0x04, 0x00}));
        QCOMPARE(rig.indicators(), QList<int>(8, Red));
        QCOMPARE(rig.row(0), QStringLiteral("00000000-4"));
        QCOMPARE(f.manualButton(3)->text(), on(3));
        QCOMPARE(f.stepBar(3)->text(), on(3));
        QCOMPARE(f.errorsReported(), 0);
    }

    void clickWritesTheWholeRowOfBars()
    {
        Rig rig(1);
        click(rig.button("Button16"));  // relay 3 raised
        click(rig.button("Button14"));  // relay 5
        QCOMPARE(rig.lastWrite(), 0x14);
        QCOMPARE(rig.row(0), QStringLiteral("00101000-0"));

        // A relay that is on while its bar is lowered is switched off by the
        // next bar click: the row 1x000000-5 lowers relay 2's bar but
        // energises relay 2.
        rig.form->programModel->replaceAll({"1x000000-5", "00000000-0"});
        rig.clickRow(0);
        QCOMPARE(rig.lastWrite(), 0x03);
        QCOMPARE(rig.bars().mid(0, 3), (QList<int>{Up, Down, Down}));
        click(rig.button("Button11"));  // relay 8
        QCOMPARE(rig.lastWrite(), 0x81);
        QCOMPARE(rig.library.pins(0), 0x81);
        QCOMPARE(rig.row(0), QStringLiteral("10000001-5"));
    }

    void onlyTheClickedBarTakesItsCaption()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        const QStringList allOff{off(1), off(2), off(3), off(4), off(5), off(6), off(7), off(8)};
        click(rig.button("Button10"));  // ALL OFF: bars follow, their captions do not
        QCOMPARE(rig.bars(), QList<int>(8, Down));
        QCOMPARE(rig.captions(), (QStringList{on(1), on(2), on(3), on(4), on(5), on(6), on(7), on(8)}));
        QCOMPARE(barCaptions(rig), allOff);

        click(rig.button("Button17"));  // relay 2 on
        QCOMPARE(f.stepBar(2)->text(), off(2));
        click(rig.button("Button17"));  // and off again
        QCOMPARE(rig.lastWrite(), 0x00);
        QCOMPARE(f.manualButton(2)->text(), on(2));
        QCOMPARE(barCaptions(rig), (QStringList{off(1), on(2), off(3), off(4), off(5), off(6), off(7), off(8)}));

        f.CopyRelayCaptionToStepBar(0);
        f.CopyRelayCaptionToStepBar(9);
        QCOMPARE(barCaptions(rig), (QStringList{off(1), on(2), off(3), off(4), off(5), off(6), off(7), off(8)}));
        f.CopyRelayCaptionToStepBar(8);
        QCOMPARE(f.stepBar(8)->text(), on(8));
    }

    void withoutBoardTheBarsStillMove()
    {
        Rig rig(0);
        click(rig.button("Button18"));
        QCOMPARE(rig.bars().first(), Up);
        QCOMPARE(rig.form->indicator(1)->color(), Lime);
        QCOMPARE(rig.indicators().mid(1), QList<int>(7, Red));
        QCOMPARE(rig.form->errorsReported(), 0);
    }

    void manualClickMovesBarsFromReadBack()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        rig.library.forcePins(0, 0x02, 0x02);  // relay 2 reads back on whatever is written
        click(rig.button("Button2"));  // shows "Relay 1 OFF": switches relay 1 off
        QCOMPARE(rig.writes(), (std::vector<std::uint8_t>{0x00}));
        QCOMPARE(rig.bars(), (QList<int>{Down, Up, Down, Down, Down, Down, Down, Down}));
        QCOMPARE(rig.row(0), QStringLiteral("01000000-0"));
        QCOMPARE(f.stepBar(1)->text(), on(1));
        QCOMPARE(f.stepBar(2)->text(), off(2));  // kept from start-up, not renewed
    }

    void rowLoadSetsBarsButNotTheirCaptions()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        f.programModel->replaceAll({"00000000-0", "10100000-15"});
        rig.clickRow(1);
        QCOMPARE(rig.bars(), (QList<int>{Up, Down, Up, Down, Down, Down, Down, Down}));
        QCOMPARE(rig.writes(), (std::vector<std::uint8_t>{0x05}));
        QCOMPARE(rig.indicators(), (QList<int>{Lime, Red, Lime, Red, Red, Red, Red, Red}));
        QCOMPARE(rig.captions(), (QStringList{off(1), on(2), off(3), on(4), on(5), on(6), on(7), on(8)}));
        QCOMPARE(f.Edit9->text(), QStringLiteral("15"));
        QCOMPARE(barCaptions(rig), (QStringList{off(1), off(2), off(3), off(4), off(5), off(6), off(7), off(8)}));
    }

private:
    std::unique_ptr<WorkDir> work_;
};

QTEST_MAIN(StepBarsTest)
#include "tst_step_bars.moc"
