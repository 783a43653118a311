// The manual relay panel (the eight relay buttons, ALL ON, ALL OFF) and the
// step bars of the timer page, which switch the same relays.
#include "window_fixture.h"

using namespace fixture;

class ManualPanelTest : public WindowTest {
    Q_OBJECT
private slots:
    // Right after start-up every button shows its turn-off label while
    // RelayState is 0, so the first click on any of them, Button5 (relay 5)
    // too, switches its relay off: one write of 0x00.
    void firstClickAfterStartup()
    {
        for (int relay = 1; relay <= 8; ++relay) {
            Rig rig(1);
            QCOMPARE(rig.captions(), rig.barCaptions());
            click(rig.form->manualButton(relay));
            QCOMPARE(rig.writes(), Bytes{0x00});
            QList<int> colors(8, Lime);
            colors[relay - 1] = Red;
            QCOMPARE(rig.indicators(), colors);
            QCOMPARE(rig.form->manualButton(relay)->text(), onLabel(relay));
            QCOMPARE(rig.form->stepBar(relay)->text(), onLabel(relay));
            QCOMPARE(rig.form->stepBar(relay % 8 + 1)->text(), offLabel(relay % 8 + 1));
        }
    }

    // Each click toggles its own bit and keeps the others; every view follows.
    // The caption is compared with the labels byte for byte: case counts, and
    // with equal labels every click switches on.
    void clicksToggleOneRelay()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        f.Edit9->setText(QStringLiteral("25"));
        rig.pickBoard(0);  // captions and indicators now follow the board: all off
        click(f.manualButton(3));
        click(f.manualButton(8));
        QCOMPARE(rig.library.pins(0), 0x84);
        QCOMPARE(rig.row(0), QStringLiteral("00100001-25"));
        QCOMPARE(rig.bars(), barsFor(0x84));
        QCOMPARE(rig.indicators(), indicatorsFor(0x84));
        click(f.manualButton(3));
        QCOMPARE(f.manualButton(3)->text(), onLabel(3));
        QCOMPARE(rig.row(0), QStringLiteral("00000001-25"));
        // Relay 8's caption after its labels were renamed matches neither
        // label: the click switches it off and shows the new turn-on label.
        f.labels.setSlot(7, "Fan on");
        f.labels.setSlot(15, "Fan off");
        click(f.manualButton(8));
        QCOMPARE(f.manualButton(8)->text(), QStringLiteral("Fan on"));
        QCOMPARE(f.indicator(8)->color(), Red);
        f.labels.setSlot(6, "ON");  // relay 7
        f.labels.setSlot(14, "on");
        f.labels.setSlot(4, "Pump");  // relay 5
        f.labels.setSlot(12, "Pump");
        click(f.Button10);  // ALL OFF: every button shows its turn-on label
        click(f.manualButton(7));
        click(f.manualButton(7));  // "on" is not the turn-on label "ON"
        QCOMPARE(f.manualButton(7)->text(), QStringLiteral("ON"));
        click(f.manualButton(5));
        click(f.manualButton(5));
        QCOMPARE(f.indicator(5)->color(), Red);
        QCOMPARE(rig.writes(), (Bytes{0x04, 0x84, 0x80, 0x00, 0x00, 0x40, 0x00, 0x10, 0x10}));
    }

    // ALL ON and ALL OFF set every caption, indicator and bar, but leave the
    // step bars' captions alone.
    void allOnAllOff()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        f.Edit9->setText(QStringLiteral("7"));
        for (int relay = 1; relay <= 8; ++relay)
            f.stepBar(relay)->setText(QStringLiteral("bar %1").arg(relay));
        const QStringList barCaptions = rig.barCaptions();
        click(f.Button9);
        QCOMPARE(rig.captions().last(), offLabel(8));
        QCOMPARE(rig.indicators(), indicatorsFor(0xFF));
        QCOMPARE(rig.bars(), barsFor(0xFF));
        QCOMPARE(rig.row(0), QStringLiteral("11111111-7"));
        click(f.Button10);
        QCOMPARE(rig.captions().first(), onLabel(1));
        QCOMPARE(rig.bars(), barsFor(0x00));
        QCOMPARE(rig.row(0), QStringLiteral("00000000-7"));
        QCOMPARE(rig.barCaptions(), barCaptions);
        QCOMPARE(rig.writes(), (Bytes{0xFF, 0x00}));
    }

    // A bar click toggles its bar and writes the byte of all eight bars once;
    // only the clicked bar takes its manual button's caption. A relay on
    // while its bar is lowered (row 1x000000) is switched off by the next
    // bar click.
    void stepBarClicks()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        f.Edit9->setText(QStringLiteral("4"));
        click(f.stepBar(3));
        click(f.stepBar(5));
        QCOMPARE(rig.writes(), (Bytes{0x04, 0x14}));
        QCOMPARE(rig.bars(), barsFor(0x14));
        QCOMPARE(rig.indicators(), indicatorsFor(0x14));
        QCOMPARE(rig.row(0), QStringLiteral("00101000-4"));
        click(f.stepBar(3));
        QCOMPARE(rig.lastWrite(), 0x10);
        QCOMPARE(f.stepBar(3)->text(), onLabel(3));
        QCOMPARE(f.stepBar(4)->text(), offLabel(4));
        rig.program({"1x000000-5", "00000000-0"});
        rig.clickRow(0);
        QCOMPARE(rig.lastWrite(), 0x03);
        click(f.stepBar(8));
        QCOMPARE(rig.lastWrite(), 0x81);
        QCOMPARE(rig.row(0), QStringLiteral("10000001-5"));
    }
};

QTEST_MAIN(ManualPanelTest)
#include "tst_manual.moc"
