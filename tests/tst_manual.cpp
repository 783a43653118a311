// The manual relay panel (the eight relay buttons, ALL ON, ALL OFF) and the
// step bars of the timer page, which switch the same relays.
#include "window_fixture.h"

using namespace fixture;

class ManualPanelTest : public WindowTest {
    Q_OBJECT
private slots:
    // Right after start-up every button shows its turn-off label while
    // RelayState is 0, so the first click on any of them switches its relay
    // off: one write of 0x00. Relay 5 behaves like every other relay.
    void firstClickAfterStartup_data()
    {
        QTest::addColumn<int>("relay");
        for (int relay = 1; relay <= 8; ++relay)
            QTest::addRow("relay %d", relay) << relay;
    }
    void firstClickAfterStartup()
    {
        QFETCH(int, relay);
        Rig rig(1);
        QCOMPARE(rig.captions(), rig.barCaptions());
        QCOMPARE(rig.captions().at(relay - 1), offLabel(relay));
        click(rig.form->manualButton(relay));
        QCOMPARE(rig.writes(), Bytes{0x00});
        QCOMPARE(rig.form->RelayState, 0);
        QList<int> colors(8, Lime);
        colors[relay - 1] = Red;
        QCOMPARE(rig.indicators(), colors);
        for (int r = 1; r <= 8; ++r) {
            const QString expected = r == relay ? onLabel(r) : offLabel(r);
            QCOMPARE(rig.form->manualButton(r)->text(), expected);
            QCOMPARE(rig.form->stepBar(r)->text(), expected);  // only the clicked bar follows
        }
        QCOMPARE(rig.bars(), QList<int>(8, Down));
        QCOMPARE(rig.row(0), QStringLiteral("00000000-0"));
    }

    // Each click toggles its own bit and keeps the others; every view follows.
    void clicksToggleOneRelay()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        f.Edit9->setText(QStringLiteral("25"));
        rig.pickBoard(0);  // captions and indicators now follow the board: all off
        click(f.manualButton(3));
        click(f.manualButton(8));
        QCOMPARE(rig.writes(), (Bytes{0x04, 0x84}));
        QCOMPARE(rig.library.pins(0), 0x84);
        QCOMPARE(rig.row(0), QStringLiteral("00100001-25"));
        QCOMPARE(rig.bars(), barsFor(0x84));
        QCOMPARE(rig.indicators(), indicatorsFor(0x84));
        QCOMPARE(f.stepBar(3)->text(), offLabel(3));
        click(f.manualButton(3));
        QCOMPARE(rig.lastWrite(), 0x80);
        QCOMPARE(f.manualButton(3)->text(), onLabel(3));
        QCOMPARE(rig.row(0), QStringLiteral("00000001-25"));
    }

    // The caption is compared with the labels byte for byte: case counts, a
    // Latin-1 label matches its own caption, and with equal labels every
    // click switches on.
    void captionComparedExactly()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        f.labels.setSlot(6, "ON");  // relay 7
        f.labels.setSlot(14, "on");
        f.labels.setSlot(1, "L\xFC" "fter an");  // relay 2
        f.labels.setSlot(9, "L\xFC" "fter aus");
        f.labels.setSlot(4, "Pump");  // relay 5
        f.labels.setSlot(12, "Pump");
        click(f.Button10);  // ALL OFF: every button shows its turn-on label
        click(f.manualButton(7));
        QCOMPARE(f.manualButton(7)->text(), QStringLiteral("on"));
        click(f.manualButton(7));  // "on" is not the turn-on label "ON"
        QCOMPARE(f.manualButton(7)->text(), QStringLiteral("ON"));
        click(f.manualButton(2));
        QCOMPARE(f.manualButton(2)->text(), QString::fromUtf8("Lüfter aus"));
        QCOMPARE(f.indicator(2)->color(), Lime);
        click(f.manualButton(5));
        click(f.manualButton(5));
        QCOMPARE(f.indicator(5)->color(), Red);
        QCOMPARE(rig.writes(), (Bytes{0x00, 0x40, 0x00, 0x02, 0x12, 0x12}));
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
        QCOMPARE(rig.indicators(), indicatorsFor(0x00));
        QCOMPARE(rig.bars(), barsFor(0x00));
        QCOMPARE(rig.row(0), QStringLiteral("00000000-7"));
        QCOMPARE(rig.barCaptions(), barCaptions);
        click(f.manualButton(6));  // after ALL OFF a click switches on
        QCOMPARE(rig.writes(), (Bytes{0xFF, 0x00, 0x20}));
    }

    // A label edited while its relay is off: the old caption matches neither
    // label, so the next click switches off and shows the new turn-on label.
    void captionMatchingNeitherLabel()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        click(f.Button9);
        click(f.manualButton(2));  // relay 2 off: shows "Relay 2 ON"
        f.labels.setSlot(1, "Pump on");
        f.labels.setSlot(9, "Pump off");
        click(f.manualButton(2));
        QCOMPARE(rig.lastWrite(), 0xFD);
        QCOMPARE(f.manualButton(2)->text(), QStringLiteral("Pump on"));
        click(f.manualButton(2));
        QCOMPARE(rig.lastWrite(), 0xFF);
        QCOMPARE(f.stepBar(2)->text(), QStringLiteral("Pump off"));
    }

    // Without a board the clicks still change RelayState and every view.
    void clicksWithoutBoard()
    {
        Rig rig(0);
        click(rig.form->manualButton(4));
        click(rig.form->manualButton(4));
        click(rig.form->stepBar(1));
        QCOMPARE(rig.form->RelayState, 0x09);
        QCOMPARE(rig.indicators(), indicatorsFor(0x09));
        QCOMPARE(rig.bars(), barsFor(0x09));
        QCOMPARE(rig.row(0), QStringLiteral("10010000-0"));
        QCOMPARE(rig.form->errorsReported(), 0);
    }

    void otherMouseButtonsSwitchNothing()
    {
        Rig rig(1);
        click(rig.form->manualButton(1), Qt::MiddleButton);
        click(rig.form->stepBar(1), Qt::RightButton);
        rig.form->Form2()->hide();
        QVERIFY(rig.writes().empty());
        QCOMPARE(rig.form->manualButton(1)->text(), offLabel(1));
        QCOMPARE(rig.bars(), barsFor(0x00));
    }

    // A bar click toggles its bar and writes the byte of all eight bars once;
    // only the clicked bar takes its manual button's caption.
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
        // A relay on while its bar is lowered is switched off by the next bar
        // click: the row 1x000000-5 lowers relay 2's bar but energises it.
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
