// The window session without a window: start-up, boards, the manual panel,
// the step bars, labels, the program list and the runner, on simulated boards.
#include "fixture.h"

#include "timer/program_file.h"

using namespace fixture;

class SessionTest : public QObject {
    Q_OBJECT
private slots:
    // Start-up lists and opens the boards, reads the first board's pins
    // (writing nothing) and shows them; without a board every button offers
    // to switch its relay on.
    void startUp_data()
    {
        QTest::addColumn<int>("boards");
        QTest::addColumn<int>("pins");
        QTest::addColumn<QString>("list");  // the number of entries: the first one
        QTest::addColumn<QString>("views");
        QTest::newRow("no board") << 0 << 0 << "0: " << "00000000 00000000 -------- 00000000";
        QTest::newRow("one board") << 1 << 0 << "1: Relay Board 1" << "00000000 00000000 00000000 00000000";
        QTest::newRow("relays left on") << 1 << 0x05 << "1: Relay Board 1" << "10100000 10100000 10100000 10100000";
        QTest::newRow("forty boards") << 40 << 0x80 << "35: Relay Board 1 " << "00000001 00000001 00000001 00000001";
    }
    void startUp()
    {
        QFETCH(int, boards);
        QFETCH(int, pins);
        SessionRig rig(boards, [&](SimulatedLibrary& lib) {
            if (boards > 0)
                lib.setPins(0, static_cast<std::uint8_t>(pins));
        });
        const WindowSession& s = *rig.s;
        QTEST(QString::number(s.boardEntries.size()) + ": " + s.boardEntries.value(0).text, "list");
        QCOMPARE(s.boardText, boards ? "Relay Board 1" : "No Boards Found");
        QCOMPARE(s.boardIndex, -1);
        QTEST(rig.views(), "views");
        QCOMPARE(rig.rows(), QStringList{'>' + RelayPattern::toText(std::uint8_t(pins)) + "-0"});
        QCOMPARE(std::pair(s.statusText, s.statusColor), std::pair(QStringLiteral("Board not found !"), Colors::Red));
        QVERIFY(!s.Timer1.isEnabled());
        for (int b = 0; b < boards; ++b)
            QVERIFY(rig.writes(b).empty() && rig.library.bitMode(b) == (b < 35 ? 1 : 0));
    }

    // Each click switches only what it names, from what the board showed at
    // start-up. A caption that is not exactly the turn-on label counts as on.
    // Stuck pins: what was written shows on the captions and indicators, what
    // the board reads back on the bars and the row.
    void manualPanel_data()
    {
        QTest::addColumn<int>("pins");  // the pins at start-up; bits 8-15: stuck low from then on
        QTest::addColumn<QString>("ops");
        QTest::addColumn<Bytes>("written");
        QTest::addColumn<QString>("views");
        QTest::addColumn<int>("pauses");
        QTest::newRow("relay 3 on, off") << 0 << "m3 m3" << Bytes{0x04, 0x00} << "00000000 00000000 00000000 00000000" << 4;
        QTest::newRow("relay 2 beside 1 and 3") << 0x05 << "m2" << Bytes{0x07} << "11100000 11100000 11100000 11100000" << 2;
        QTest::newRow("all on, relay 8") << 0 << "on m8" << Bytes{0xFF, 0x7F} << "11111110 11111110 11111110 00000000" << 4;
        QTest::newRow("all off") << 0xFF << "off" << Bytes{0x00} << "00000000 00000000 00000000 11111111" << 2;
        QTest::newRow("step bars") << 0 << "b2 b5 b2" << Bytes{0x02, 0x12, 0x10} << "00001000 00001000 00001000 00001000" << 3;
        QTest::newRow("renamed turn-on label") << 0 << "rename3 m3" << Bytes{0x00} << "00000000 00000000 00000000 00000000" << 2;
        QTest::newRow("caption in other case") << 0 << "lower3 m3" << Bytes{0x00} << "00000000 00000000 00000000 00000000" << 2;
        QTest::newRow("relay 1 stuck low") << 0x100 << "on" << Bytes{0xFF} << "11111111 01111111 11111111 00000000" << 2;
    }
    void manualPanel()
    {
        QFETCH(int, pins);
        SessionRig rig(1, [&](SimulatedLibrary& lib) { lib.setPins(0, std::uint8_t(pins)), lib.forcePins(0, std::uint8_t(pins >> 8), 0); });
        WindowSession& s = *rig.s;
        for (const QString& op : fetch<QString>("ops").split(' '))
            rig.run([&, n = op.right(1).toInt()] {
                if (op[0] == 'm') s.ManualRelayClick(n);
                else if (op[0] == 'b') s.StepBarClick(n);
                else if (op == "on") s.Button9Click();
                else if (op == "off") s.Button10Click();
                else if (op.startsWith("rename")) s.labels.setSlot(n - 1, "Lamp");  // the caption now matches neither label
                else s.captions[std::size_t(n)] = s.captions[std::size_t(n)].toLower();
            });
        QTEST(rig.writes(), "written");
        QTEST(rig.views(), "views");
        QTEST(int(rig.pauses.count(WindowSession::PauseMs)), "pauses");
        QCOMPARE(rig.rows(), QStringList{'>' + RelayPattern::toText(rig.library.pins(0)) + "-0"});
    }

    // Dropping the list down closes and reopens every board and picks none;
    // a pick shows the board (held elsewhere: the red strip); typed text
    // picks nothing; a pulled-out board drops out of the list.
    void boards()
    {
        SessionRig rig(3, [](SimulatedLibrary& lib) { lib.forcePins(1, 0x81, 0x81); });
        WindowSession& s = *rig.s;
        rig.run([&] { s.ComboBox1Change(1); });
        QCOMPARE(std::pair(s.statusText, s.statusColor), std::pair(QStringLiteral("Board found !"), Colors::Lime));
        QCOMPARE(rig.views(), QStringLiteral("10000001 10000001 10000001 00000000"));
        rig.run([&] { s.ComboBox1DropDown(); });
        QCOMPARE(std::pair(rig.library.openCount(1), rig.library.closeCount(1)), std::pair(2, 1));
        QCOMPARE(s.boardIndex, -1);
        rig.run([&] { s.ComboBox1Change(-1); s.Button9Click(); });
        QCOMPARE(rig.writes(1), Bytes{0xFF});  // still board 2

        rig.library.setHeldElsewhere(2, true);
        rig.run([&] { s.ComboBox1DropDown(); s.ComboBox1Change(2); });
        QCOMPARE(std::pair(s.statusText, s.statusColor), std::pair(QStringLiteral("Board not found or already opened!"), Colors::Red));

        // Slot 1 still holds board 2 while slot 0 tries it: the first
        // discovery after the pull-out cannot open it, the next one can.
        rig.library.setAttached(0, false);
        rig.run([&] { s.ComboBox1DropDown(); s.ComboBox1Change(0); });
        QCOMPARE(s.boardEntries.size(), 2);
        QCOMPARE(s.statusText, QStringLiteral("Board not found or already opened!"));
        rig.run([&] { s.ComboBox1DropDown(); s.ComboBox1Change(0); s.Button10Click(); });
        QCOMPARE(s.statusText, QStringLiteral("Board found !"));
        QCOMPARE(rig.writes(1), (Bytes{0xFF, 0x00}));
    }

    // Start always plays row 0 as a loaded step counted from its own
    // duration; each tick counts down; a step lasts at least one tick; a row
    // gets its duration back when the run leaves it; Repeat decides the end.
    void ticks_data()
    {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<bool>("repeat");
        QTest::addColumn<QStringList>("ticks");  // the start, then one line per tick
        QTest::addColumn<Bytes>("written");
        const QStringList example{"10000000-3", "01000000-0", "00000000-2"};
        const QStringList once{"3 | >10000000-3 01000000-0 00000000-2 | running",
                               "2 | >10000000-2 01000000-0 00000000-2 | running",
                               "1 | >10000000-1 01000000-0 00000000-2 | running",
                               "0 | 10000000-3 >01000000-0 00000000-2 | running",
                               "2 | 10000000-3 01000000-0 >00000000-2 | running",
                               "1 | 10000000-3 01000000-0 >00000000-1 | running"};
        QTest::newRow("once") << example << false
            << once + QStringList{"2 | 10000000-3 01000000-0 >00000000-2 | stopped"} << Bytes{0x01, 0x02, 0x00};
        QTest::newRow("repeat") << example << true
            << once + QStringList{"3 | >10000000-3 01000000-0 00000000-2 | running",
                                  "2 | >10000000-2 01000000-0 00000000-2 | running"}
            << Bytes{0x01, 0x02, 0x00, 0x01};
        QTest::newRow("one row repeated") << QStringList{"10000000-2"} << true
            << QStringList{"2 | >10000000-2 | running", "1 | >10000000-1 | running",
                           "2 | >10000000-2 | running", "1 | >10000000-1 | running"}
            << Bytes{0x01};
        QTest::newRow("short rows") << QStringList{"1010101", "01000000-9999"} << false
            << QStringList{"7 | >1010101 01000000-9999 | running", "6 | >10101011-6 01000000-9999 | running"}
            << Bytes{0xD5};
    }
    void ticks()
    {
        QFETCH(QStringList, ticks);
        SessionRig rig(1);
        WindowSession& s = *rig.s;
        rig.run([&] { s.Edit9Change(QStringLiteral("7")); });  // shown before the file was opened
        rig.program(fetch<QStringList>("rows"));
        s.CheckBox1Click(fetch<bool>("repeat"));
        for (int t = 0; t < ticks.size(); ++t) {
            rig.run([&] { t ? s.Timer1Timer() : s.Button34Click(); });
            QCOMPARE(rig.run(), ticks[t]);
        }
        QTEST(rig.writes(), "written");
        QCOMPARE(s.Timer1.isEnabled(), s.runActive());
        QVERIFY(rig.errors.isEmpty());
    }

    // What the operator does during a run, two ticks into row 0's five.
    void operatorDuringRun_data()
    {
        QTest::addColumn<QString>("ops");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("stopped");
        QTest::newRow("pick the counted row") << "pick0" << "3 | >10000000-3 01000000-4 00100000-6 | running"
                                              << "5 | >10000000-5 01000000-4 00100000-6 | stopped";
        QTest::newRow("pick another row") << "pick2" << "6 | 10000000-5 01000000-4 >00100000-6 | running"
                                          << "6 | 10000000-5 01000000-4 >00100000-6 | stopped";
        QTest::newRow("add") << "add" << "5 | 10000000-5 01000000-4 00100000-6 >10000000-5 | running"
                             << "5 | 10000000-5 01000000-4 00100000-6 >10000000-5 | stopped";
        QTest::newRow("clear") << "clear" << "3 | >10000000-3 01000000-4 | running" << "5 | >10000000-5 01000000-4 | stopped";
        QTest::newRow("clear the counted row") << "pick2 tick clear" << "4 | 10000000-5 >01000000-4 | running"
                                               << "4 | 10000000-5 >01000000-4 | stopped";
        QTest::newRow("clear all") << "clearall" << "0 | >00000000-0 | running" << "0 | >00000000-0 | stopped";
        QTest::newRow("type 50") << "type50 tick" << "49 | >10000000-49 01000000-4 00100000-6 | running"
                                 << "5 | >10000000-5 01000000-4 00100000-6 | stopped";
        QTest::newRow("open") << "open" << "2 | >00000001-2 | running" << "2 | >00000001-2 | stopped";
        QTest::newRow("pause") << "pause tick tick" << "3 | >10000000-3 01000000-4 00100000-6 | paused"
                               << "5 | >10000000-5 01000000-4 00100000-6 | stopped";
        QTest::newRow("pause, resume") << "pause resume tick" << "2 | >10000000-2 01000000-4 00100000-6 | running"
                                       << "5 | >10000000-5 01000000-4 00100000-6 | stopped";
    }
    void operatorDuringRun()
    {
        SessionRig rig(1);
        WindowSession& s = *rig.s;
        writeFile(QStringLiteral("next.txt"), "00000001-2\r\n");
        rig.program({"10000000-5", "01000000-4", "00100000-6"});
        rig.run([&] { s.Button34Click(); });
        rig.tick(2);
        QCOMPARE(s.SaveProgram(QStringLiteral("saved.txt")), QString());
        QCOMPARE(readFile(QStringLiteral("saved.txt")), QByteArray("10000000-5\r\n01000000-4\r\n00100000-6\r\n"));
        for (const QString& op : fetch<QString>("ops").split(' '))
            rig.run([&] {
                if (op.startsWith(QLatin1String("pick"))) s.PickRow(op.right(1).toInt());
                else if (op == QLatin1String("tick")) s.Timer1Timer();
                else if (op == QLatin1String("add")) s.Button23Click();
                else if (op == QLatin1String("clear")) s.Button21Click();
                else if (op == QLatin1String("clearall")) s.Button22Click();
                else if (op == QLatin1String("type50")) s.Edit9Change(QStringLiteral("50"));
                else if (op == QLatin1String("open")) QCOMPARE(s.OpenProgram(QStringLiteral("next.txt")), QString());
                else s.Button35Click();  // pause or resume
            });
        QTEST(rig.run(), "after");
        rig.run([&] { s.Button34Click(); });
        QTEST(rig.run(), "stopped");
        QVERIFY(!s.Timer1.isEnabled());
    }

    // A row too short to be loaded raises a range error naming it: the bars
    // already set stay set, nothing is written, and the session goes on.
    void rangeErrors()
    {
        SessionRig rig(1);
        rig.program({"", "10101"});
        rig.run([&] { rig.s->PickRow(1); });
        QCOMPARE(rig.errors, QStringList{"Range error in program row 2 (\"10101\"): it has no character 8; "
                                         "the row holds 5 character(s)."});
        QCOMPARE(rig.views(), QStringLiteral("00000000 10101000 00000000 00000000"));
        rig.run([&] { rig.s->Button34Click(); });
        QVERIFY(rig.errors.last().startsWith(QLatin1String("Range error in program row 1 (\"\"): it has no character 3")));
        QVERIFY(rig.writes().empty());
        rig.run([&] { rig.s->ManualRelayClick(1); });
        QCOMPARE(rig.writes(), Bytes{0x01});
    }

    // A press on any relay button fills the dialog's texts and saves the
    // labels; a right press asks for the dialog. OK stores at most 18
    // characters after a pause. Closing saves the labels and closes board 1 only.
    void labels()
    {
        SessionRig rig(2, [](SimulatedLibrary&) {
            writeFile("labels.dat", LabelTable().image().replace("Relay 2 ON", QByteArray("Pump on\0\0\0", 10)));
        });
        WindowSession& s = *rig.s;
        QCOMPARE(s.captions[2], QStringLiteral("Pump on"));
        int asked = 0;
        QObject::connect(&s, &WindowSession::labelDialogRequested, [&] { ++asked; });
        s.RelayButtonMouseDown(11, true);  // relay 3's step bar
        QCOMPARE(asked, 1);
        QCOMPARE(s.labelOnText, QStringLiteral("Relay 3 ON"));
        s.CompleteLabelEdit(QStringLiteral("A label of 24 letters.."), QStringLiteral("Off"));
        QCOMPARE(std::pair(s.labels.turnOn(3), s.labels.turnOff(3)), std::pair(QByteArray("A label of 24 lett"), QByteArray("Off")));
        QCOMPARE(rig.pauses, QList<int>{50});
        s.RelayButtonMouseDown(3, false);
        QCOMPARE(asked, 1);
        s.FormClose();
        QCOMPARE(readFile(QStringLiteral("labels.dat")), s.labels.image());
        QCOMPARE(std::pair(rig.library.closeCount(0), rig.library.closeCount(1)), std::pair(1, 0));
    }
};

QTEST_GUILESS_MAIN(SessionTest)
#include "tst_session.moc"
