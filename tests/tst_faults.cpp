// Boards that misbehave (pulled out, held by another program, stuck pins)
// and a long run at 1 ms resolution with the operator at work.
#include "window_fixture.h"

using namespace fixture;

namespace {
QStringList captionsFor(const LabelTable& labels, std::uint8_t byte)
{
    QStringList out;
    for (int relay = 1; relay <= 8; ++relay)
        out << labelText((byte >> (relay - 1)) & 1 ? labels.turnOff(relay) : labels.turnOn(relay));
    return out;
}

// Starts a repeating run of `program` on the picked board 0.
RunModel startRun(Rig& rig, const QStringList& program)
{
    rig.pickBoard(0);
    rig.program(program);
    rig.form->StringGrid4->setCurrentRow(1);
    rig.form->CheckBox1->setChecked(true);
    click(rig.form->Button34);
    RunModel run{program};
    run.pick(0);
    return run;
}

// The window shows the step the model plays.
#define COMPARE_RUN(rig, run)                                          \
    do {                                                               \
        QCOMPARE((rig).current(), (run).row);                          \
        QCOMPARE((rig).row((run).row), (run).currentText());           \
        QCOMPARE((rig).bars(), barsFor((run).byte()));                 \
        QCOMPARE((rig).indicators(), indicatorsFor((run).byte()));     \
    } while (false)
}  // namespace

class FaultsTest : public WindowTest {
    Q_OBJECT
private slots:
    // The selected board is pulled out during a run: the run goes on on the
    // screen, nothing reaches a board, and once the board is back, found
    // again and picked, it follows the program again.
    void boardPulledOutDuringRun()
    {
        Rig rig(2);
        TForm1& f = *rig.form;
        RunModel run = startRun(rig, {"10000001-2", "01100000-1", "00011110-3"});
        rig.tick(4);
        for (int t = 0; t < 4; ++t)
            run.tick();
        QCOMPARE(rig.lastWrite(0), int(run.byte()));
        rig.library.setAttached(0, false);
        const auto written = rig.writes(0).size();
        for (int t = 0; t < 13; ++t) {
            rig.tick();
            run.tick();
            COMPARE_RUN(rig, run);
        }
        // A click: the views keep what was commanded, as nothing reads back.
        click(f.manualButton(1));
        QCOMPARE(rig.indicators(), indicatorsFor(run.byte() ^ 0x01));
        QCOMPARE(rig.row(run.row).left(8), patternOf(run.byte() ^ 0x01));
        click(f.manualButton(1));
        // Plugged back in, the old handle stays dead until the boards are found again.
        rig.library.setAttached(0, true);
        rig.tick();
        run.tick();
        QCOMPARE(rig.writes(0).size(), written);
        QVERIFY(rig.writes(1).empty());
        rig.dropDown();
        QCOMPARE(f.ComboBox1->count(), 2);
        rig.pickBoard(0);  // the current row takes the board's pattern
        run.rows[run.row] = patternOf(rig.library.pins(0)) + run.rows.at(run.row).mid(8);
        COMPARE_RUN(rig, run);
        for (int t = 0; t < 12; ++t) {
            rig.tick();
            run.tick();
        }
        QVERIFY(rig.writes(0).size() > written);
        QCOMPARE(rig.library.pins(0), run.byte());
        QCOMPARE(f.errorsReported(), 0);
    }

    // Another board pulled out: the list found next holds one board. When it
    // was the first, the board left still sits in slot 1 and cannot be opened
    // into slot 0: its entry reports it, and relay operations reach no board.
    void boardPulledOutAndRediscovered_data()
    {
        QTest::addColumn<int>("pulled");
        QTest::addColumn<QString>("status");
        QTest::newRow("second board") << 1 << "Board found !";
        QTest::newRow("first board") << 0 << "Board not found or already opened!";
    }
    void boardPulledOutAndRediscovered()
    {
        QFETCH(int, pulled);
        QFETCH(QString, status);
        Rig rig(2);
        TForm1& f = *rig.form;
        rig.pickBoard(0);
        rig.library.setAttached(pulled, false);
        rig.dropDown();
        QCOMPARE(f.ComboBox1->count(), 1);
        QCOMPARE(f.ComboBox1->itemText(0), QStringLiteral("Relay Board 1"));
        rig.pickBoard(0);
        QCOMPARE(f.Panel27->text(), status);
        click(f.Button9);
        QCOMPARE(rig.writes(0), pulled == 1 ? Bytes{0xFF} : Bytes{});
        QVERIFY(rig.writes(1).empty());
    }

    // A board that another program holds cannot be opened: picking it says
    // so, every relay operation and a run reach no board, and the views show
    // what was commanded. Once the other program lets go, discovery opens it.
    void boardHeldElsewhere()
    {
        Rig rig(2, [](SimulatedLibrary& lib) { lib.setHeldElsewhere(1, true); });
        TForm1& f = *rig.form;
        QCOMPARE(f.ComboBox1->count(), 2);
        QVERIFY(!rig.library.isOpen(1));
        rig.pickBoard(1);
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board not found or already opened!"));
        click(f.Button9);
        click(f.manualButton(2));
        click(f.stepBar(8));
        QCOMPARE(rig.indicators(), indicatorsFor(0x7D));
        click(f.Button34);
        rig.tick();
        QVERIFY(rig.writes(0).empty() && rig.writes(1).empty());
        rig.library.setHeldElsewhere(1, false);
        rig.dropDown();
        rig.pickBoard(1);
        QCOMPARE(f.Panel27->text(), QStringLiteral("Board found !"));
        click(f.Button9);
        QCOMPARE(rig.writes(1), Bytes{0xFF});
    }

    // Pins that read back other levels than were written (relay 3 stuck on,
    // relay 5 stuck off): what is written is what was commanded; each view
    // refreshed from the board shows the read-back, and the next click
    // builds on it.
    void stuckPins()
    {
        Rig rig(1);
        TForm1& f = *rig.form;
        rig.library.forcePins(0, 0x14, 0x04);
        rig.pickBoard(0);
        QCOMPARE(rig.indicators(), indicatorsFor(0x04));
        QCOMPARE(rig.row(0), QStringLiteral("00100000-0"));
        click(f.Button9);  // captions and indicators: the command; row and bars: the read-back
        QCOMPARE(rig.lastWrite(), 0xFF);
        QCOMPARE(f.RelayState, 0xEF);
        QCOMPARE(rig.captions(), captionsFor(f.labels, 0xFF));
        QCOMPARE(rig.bars(), barsFor(0xEF));
        QCOMPARE(rig.row(0), QStringLiteral("11110111-0"));
        click(f.manualButton(1));  // relay 5 is written off although its caption says on
        QCOMPARE(rig.lastWrite(), 0xEE);
        click(f.Button10);
        click(f.stepBar(5));  // bars and indicators: the command; row and captions: the read-back
        QCOMPARE(rig.lastWrite(), 0x14);
        QCOMPARE(rig.indicators(), indicatorsFor(0x14));
        QCOMPARE(rig.captions(), captionsFor(f.labels, 0x04));
        rig.program({"10001000-4", "00000000-1"});
        rig.clickRow(0);  // a row load shows the row and reads nothing back
        QCOMPARE(rig.lastWrite(), 0x11);
        QCOMPARE(f.RelayState, 0x11);
        QCOMPARE(rig.bars(), barsFor(0x11));
        QCOMPARE(rig.captions(), captionsFor(f.labels, 0x11));
    }

    // 100,000 ticks at 1 ms resolution with "Repeat" on, while the operator
    // switches relays and back, clicks step bars and rows, pauses and types a
    // timer value. The run never stops, the board always has the row last
    // loaded, and at the end the program and the label file are unchanged.
    void longRunWithOperator()
    {
        LabelTable valves;
        for (int relay = 1; relay <= 8; ++relay) {
            valves.setSlot(relay - 1, "Valve " + QByteArray::number(relay) + " open");
            valves.setSlot(relay + 7, "Valve " + QByteArray::number(relay) + " shut");
        }
        writeFile(QStringLiteral("labels.dat"), valves.image());
        Rig rig(1);
        TForm1& f = *rig.form;
        rig.library.setLogging(false);
        int lastByte = -1;
        rig.library.setWriteObserver([&](int, std::uint8_t byte) { lastByte = byte; });
        const QStringList program{"10000001-7", "01000010-0", "00111100-13", "11000011-1", "00011000-40", "10101010-3"};
        RunModel run = startRun(rig, program);
        QCOMPARE(f.Timer1->interval(), 1);
        int actions = 0;
        for (int tick = 1; tick <= 100'000; ++tick) {
            QVERIFY(f.Timer1->isEnabled());
            f.Timer1Timer();
            run.tick();
            if (rig.current() != run.row || lastByte != run.byte() || f.Edit9->text() != QString::number(run.count))
                QFAIL(qPrintable(QStringLiteral("tick %1: row %2, count %3, board 0x%4")
                                     .arg(tick).arg(rig.current()).arg(f.Edit9->text()).arg(lastByte, 0, 16)));
            if (tick % 3989 != 0)
                continue;
            const int relay = actions % 8 + 1;
            const int kind = actions++ % 5;
            switch (kind) {
            case 0:
            case 1: {
                QWidget* button = kind == 0 ? static_cast<QWidget*>(f.manualButton(relay)) : f.stepBar(relay);
                click(button);
                QCOMPARE(lastByte, run.byte() ^ (1 << (relay - 1)));
                QCOMPARE(rig.row(run.row).left(8), patternOf(lastByte));
                click(button);
                break;
            }
            case 2:
                run.pick((run.row + 2) % int(program.size()));
                rig.clickRow(run.row);
                break;
            case 3:
                click(f.Button35);
                QTest::qWait(20);
                QCOMPARE(f.Button35->text(), QStringLiteral("Resume"));
                click(f.Button35);
                break;
            case 4:
                rig.typeDuration(QStringLiteral("25"));
                run.count = 25;
                break;
            }
            COMPARE_RUN(rig, run);
            QCOMPARE(rig.captions(), captionsFor(valves, run.byte()));
            QCOMPARE(rig.library.pins(0), run.byte());
        }
        QCOMPARE(actions, 25);
        click(f.Button34);
        QCOMPARE(rig.allRows(), program);
        QCOMPARE(f.errorsReported(), 0);
        f.close();
        QCOMPARE(readFile(QStringLiteral("labels.dat")), valves.image());
    }
};

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
