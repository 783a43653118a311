// The manual relay panel: the eight relay buttons, ALL ON and ALL OFF.
#include "window_fixture.h"

using namespace fixture;

namespace {

constexpr int Red = 255;
constexpr int Lime = 65280;

QString onLabel(int relay) { return QStringLiteral("Relay %1 ON").arg(relay); }
QString offLabel(int relay) { return QStringLiteral("Relay %1 OFF").arg(relay); }

QList<int> allColors(int color) { return QList<int>(8, color); }

std::vector<std::uint8_t> bytes(std::initializer_list<int> values)
{
    std::vector<std::uint8_t> out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

QStringList barCaptions(const Rig& rig)
{
    QStringList out;
    for (int relay = 1; relay <= 8; ++relay)
        out << rig.form->stepBar(relay)->text();
    return out;
}

}  // namespace

class ManualPanelTest : public QObject {
    Q_OBJECT
private slots:
    void init() { work_ = std::make_unique<WorkDir>(); }
    void cleanup() { work_.reset(); }

    // Right after start-up every button shows its turn-off label while
    // RelayState is 0, so the first click on any of them switches its relay
    // off: one write of 0x00, and the indicators then tell the seven others
    // on. Relay 5 behaves like every other relay.
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
        TForm1& f = *rig.form;
        QCOMPARE(f.RelayState, 0);
        for (int r = 1; r <= 8; ++r)
            QCOMPARE(f.manualButton(r)->text(), offLabel(r));

        click(f.manualButton(relay));

        QCOMPARE(rig.writes(), bytes({0x00}));
        QCOMPARE(f.RelayState, 0);
        QList<int> colors = allColors(Lime);
        colors[relay - 1] = Red;
        QCOMPARE(rig.indicators(), colors);
        for (int r = 1; r <= 8; ++r) {
            QCOMPARE(f.manualButton(r)->text(), r == relay ? onLabel(r) : offLabel(r));
            // Only the clicked relay's step bar takes the new caption.
            QCOMPARE(f.stepBar(r)->text(), r == relay ? onLabel(r) : offLabel(r));
        }
        QCOMPARE(rig.bars(), QList<int>(8, 112));
        QCOMPARE(rig.row(0), QStringLiteral("00000000-0"));
    }

    // Each click toggles its own bit and keeps the seven others.
    void clicksToggleOneRelay()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        f.Edit9->setText(QStringLiteral("25"));
        rig.pickBoard(0);  // captions and indicators now follow the board: all off
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board found !"));
        QCOMPARE(f.manualButton(3)->text(), onLabel(3));
        QCOMPARE(rig.indicators(), allColors(Red));

        click(f.manualButton(3));
        QCOMPARE(f.manualButton(3)->text(), offLabel(3));
        QCOMPARE(f.stepBar(3)->text(), offLabel(3));
        QCOMPARE(f.indicator(3)->color(), Lime);
        click(f.manualButton(8));
        QCOMPARE(rig.writes(), bytes({0x04, 0x84}));
        QCOMPARE(f.RelayState, 0x84);
        QCOMPARE(rig.library.pins(0), 0x84);
        QCOMPARE(rig.row(0), QStringLiteral("00100001-25"));
        QCOMPARE(rig.bars(), (QList<int>{112, 112, 32, 112, 112, 112, 112, 32}));
        QCOMPARE(rig.indicators(), (QList<int>{Red, Red, Lime, Red, Red, Red, Red, Lime}));

        click(f.manualButton(3));  // off again; relay 8 stays on
        QCOMPARE(rig.lastWrite(), 0x80);
        QCOMPARE(f.manualButton(3)->text(), onLabel(3));
        QCOMPARE(f.stepBar(3)->text(), onLabel(3));
        QCOMPARE(f.indicator(3)->color(), Red);
        QCOMPARE(f.indicator(8)->color(), Lime);
        QCOMPARE(rig.row(0), QStringLiteral("00000001-25"));
        QCOMPARE(rig.bars(), (QList<int>{112, 112, 112, 112, 112, 112, 112, 32}));
        QCOMPARE(rig.rows(), 1);
        QCOMPARE(f.errorsReported(), 0);
    }

    // The caption is compared with the labels byte for byte: case counts,
    // and a Latin-1 label matches its own caption.
    void captionComparedExactly()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        f.labels.setSlot(6, "ON");      // relay 7
        f.labels.setSlot(14, "on");
        f.labels.setSlot(1, "L\xFC" "fter an");  // relay 2
        f.labels.setSlot(9, "L\xFC" "fter aus");
        click(f.Button10);  // ALL OFF: every button shows its turn-on label
        QCOMPARE(f.manualButton(7)->text(), QStringLiteral("ON"));
        QCOMPARE(f.manualButton(2)->text(), QString::fromUtf8("Lüfter an"));

        click(f.manualButton(7));
        QCOMPARE(rig.lastWrite(), 0x40);
        QCOMPARE(f.manualButton(7)->text(), QStringLiteral("on"));
        click(f.manualButton(7));  // "on" is not the turn-on label "ON"
        QCOMPARE(rig.lastWrite(), 0x00);
        QCOMPARE(f.manualButton(7)->text(), QStringLiteral("ON"));
        QCOMPARE(f.indicator(7)->color(), Red);

        click(f.manualButton(2));
        QCOMPARE(rig.lastWrite(), 0x02);
        QCOMPARE(f.manualButton(2)->text(), QString::fromUtf8("Lüfter aus"));
        QCOMPARE(f.indicator(2)->color(), Lime);
        QCOMPARE(f.stepBar(2)->text(), QString::fromUtf8("Lüfter aus"));
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
        const QStringList bars = barCaptions(rig);

        click(f.Button9);
        QCOMPARE(rig.writes(), bytes({0xFF}));
        QCOMPARE(f.RelayState, 0xFF);
        for (int relay = 1; relay <= 8; ++relay)
            QCOMPARE(f.manualButton(relay)->text(), offLabel(relay));
        QCOMPARE(rig.indicators(), allColors(Lime));
        QCOMPARE(rig.bars(), QList<int>(8, 32));
        QCOMPARE(rig.row(0), QStringLiteral("11111111-7"));
        QCOMPARE(barCaptions(rig), bars);

        click(f.Button10);
        QCOMPARE(rig.writes(), bytes({0xFF, 0x00}));
        QCOMPARE(f.RelayState, 0x00);
        for (int relay = 1; relay <= 8; ++relay)
            QCOMPARE(f.manualButton(relay)->text(), onLabel(relay));
        QCOMPARE(rig.indicators(), allColors(Red));
        QCOMPARE(rig.bars(), QList<int>(8, 112));
        QCOMPARE(rig.row(0), QStringLiteral("00000000-7"));
        QCOMPARE(barCaptions(rig), bars);

        // After ALL OFF the first click on a relay switches it on.
        click(f.manualButton(6));
        QCOMPARE(rig.lastWrite(), 0x20);
        QCOMPARE(f.indicator(6)->color(), Lime);
        QCOMPARE(f.stepBar(6)->text(), offLabel(6));
        QCOMPARE(f.stepBar(5)->text(), QStringLiteral("bar 5"));
    }

    // With equal labels the caption always equals the turn-on label: every
    // click switches the relay on and the indicator says off. Relay 5 is
    // written once per click, like its siblings.
    void identicalLabelsAlwaysSwitchOn_data()
    {
        QTest::addColumn<int>("relay");
        QTest::newRow("relay 5") << 5;
        QTest::newRow("relay 1") << 1;
    }
    void identicalLabelsAlwaysSwitchOn()
    {
        QFETCH(int, relay);
        Rig rig(1);
        TForm1& f = *rig.form;
        f.labels.setSlot(relay - 1, "Pump");
        f.labels.setSlot(relay + 7, "Pump");
        click(f.Button10);  // caption "Pump"
        const int bit = 1 << (relay - 1);
        click(f.manualButton(relay));
        click(f.manualButton(relay));
        QCOMPARE(rig.writes(), bytes({0x00, bit, bit}));
        QCOMPARE(f.manualButton(relay)->text(), QStringLiteral("Pump"));
        QCOMPARE(f.indicator(relay)->color(), Red);
        QCOMPARE(f.RelayState, bit);
        QCOMPARE(rig.bars().at(relay - 1), 32);
    }

    // After a label edit a caption may match neither label: the next click
    // switches the relay off and shows the new turn-on label.
    void captionMatchingNeitherLabel()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        click(f.Button9);               // all on
        click(f.manualButton(2));       // relay 2 off: shows "Relay 2 ON"
        QCOMPARE(rig.lastWrite(), 0xFD);

        QTest::mouseClick(f.manualButton(2), Qt::RightButton);
        TForm2* dialog = f.Form2();
        QVERIFY(dialog->isVisible());
        dialog->Edit1->setText(QStringLiteral("Pump on"));
        dialog->Edit2->setText(QStringLiteral("Pump off"));
        click(dialog->Button1);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(f.manualButton(2)->text(), onLabel(2));  // the old label stays

        click(f.manualButton(2));  // "Relay 2 ON" is not the turn-on label now
        QCOMPARE(rig.lastWrite(), 0xFD);
        QCOMPARE(f.manualButton(2)->text(), QStringLiteral("Pump on"));
        QCOMPARE(f.indicator(2)->color(), Red);
        click(f.manualButton(2));
        QCOMPARE(rig.lastWrite(), 0xFF);
        QCOMPARE(f.manualButton(2)->text(), QStringLiteral("Pump off"));
        QCOMPARE(f.indicator(2)->color(), Lime);
        QCOMPARE(f.stepBar(2)->text(), QStringLiteral("Pump off"));
    }

    // Stuck pins: the write is what was commanded, the program row, the step
    // bars and RelayState show what the board reads back, and the next
    // click builds on the read-back.
    void readBackShowsStuckPins()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        rig.library.forcePins(0, 0x12, 0x02);  // relay 5 stuck off, relay 2 stuck on
        f.Edit9->setText(QStringLiteral("3"));

        click(f.Button10);
        QCOMPARE(rig.lastWrite(), 0x00);
        QCOMPARE(f.RelayState, 0x02);
        QCOMPARE(rig.row(0), QStringLiteral("01000000-3"));
        QCOMPARE(rig.bars(), (QList<int>{112, 32, 112, 112, 112, 112, 112, 112}));
        // Captions and indicators show what was commanded.
        QCOMPARE(f.manualButton(2)->text(), onLabel(2));
        QCOMPARE(f.indicator(2)->color(), Red);

        click(f.Button9);
        QCOMPARE(rig.lastWrite(), 0xFF);
        QCOMPARE(f.RelayState, 0xEF);
        QCOMPARE(rig.row(0), QStringLiteral("11110111-3"));
        QCOMPARE(rig.bars(), (QList<int>{32, 32, 32, 32, 112, 32, 32, 32}));
        QCOMPARE(f.manualButton(5)->text(), offLabel(5));
        QCOMPARE(f.indicator(5)->color(), Lime);

        // Relay 1 off: the other bits come from the read-back, so relay 5 is
        // written off although its caption says it is on.
        click(f.manualButton(1));
        QCOMPARE(rig.lastWrite(), 0xEE);
        QCOMPARE(f.RelayState, 0xEE);
        QCOMPARE(rig.row(0), QStringLiteral("01110111-3"));
        QCOMPARE(f.stepBar(1)->text(), onLabel(1));
    }

    // Without a board the clicks still change RelayState, captions,
    // indicators and bars; nothing is written anywhere.
    void clicksWithoutBoard()
    {
        Rig rig(0);
        TForm1& f = *rig.form;
        click(f.manualButton(4));
        click(f.manualButton(4));
        QCOMPARE(f.RelayState, 0x08);
        QCOMPARE(f.manualButton(4)->text(), offLabel(4));
        QCOMPARE(f.indicator(4)->color(), Lime);
        QCOMPARE(rig.bars().at(3), 32);
        QCOMPARE(rig.row(0), QStringLiteral("00010000-0"));
        QCOMPARE(f.errorsReported(), 0);
    }

    // A right or middle press switches nothing.
    void otherMouseButtonsSwitchNothing()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        QTest::mouseClick(f.manualButton(1), Qt::MiddleButton);
        QTest::mouseClick(f.manualButton(1), Qt::RightButton);
        f.Form2()->hide();
        QVERIFY(rig.writes().empty());
        QCOMPARE(f.manualButton(1)->text(), offLabel(1));
        QVERIFY(f.indicator(1)->color() != Red && f.indicator(1)->color() != Lime);
    }

private:
    std::unique_ptr<WorkDir> work_;
};

QTEST_MAIN(ManualPanelTest)
#include "tst_manual.moc"
