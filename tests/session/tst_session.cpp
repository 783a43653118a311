// The window session without a window: start-up, boards, the manual panel,
// the step bars, labels, the program list and the runner, on simulated boards.
#include "fixture.h"

#include "engine/program/program_file.h"

using namespace fixture;

class SessionTest : public QObject {
    Q_OBJECT
private slots:
    // Start-up lists and opens the boards, reads the first board's pins
    // (writing nothing) and shows them, saying so on the strip; without board
    // 1 every button offers to switch its relay on. The tick is 1 ms.
    void startUp_data()
    {
        // pins: of board 1; -1: board 1 is held by another program
        // list: the number of entries: the first one
        columns<int, int, QString, QString, QString>({"boards", "pins", "list", "views", "status"});
        const QString off = "00000000 00000000 -------- 00000000", found = "Board found !", missing = "Board not found !";
        QTest::newRow("no board") << 0 << 0 << "0: " << off << missing;
        QTest::newRow("one board") << 1 << 0 << "1: Relay Board 1" << "00000000 00000000 00000000 00000000" << found;
        QTest::newRow("relays left on") << 1 << 0x05 << "1: Relay Board 1" << "10100000 10100000 10100000 10100000" << found;
        QTest::newRow("forty boards") << 40 << 0x80 << "35: Relay Board 1 " << "00000001 00000001 00000001 00000001" << found;
        QTest::newRow("board 1 held") << 2 << -1 << "2: Relay Board 1 " << off << missing;
    }
    void startUp()
    {
        const int boards = fetch<int>("boards"), pins = fetch<int>("pins");
        SessionRig rig(boards, [&](SimulatedLibrary& lib) {
            if (boards > 0)
                pins < 0 ? lib.setHeldElsewhere(0, true) : lib.setPins(0, static_cast<std::uint8_t>(pins));
        });
        const WindowSession& s = *rig.s;
        QTEST(QString::number(s.boardEntries.size()) + ": " + s.boardEntries.value(0).text, "list");
        QCOMPARE(std::pair(s.boardText, s.boardIndex), std::pair(QString(boards ? "Relay Board 1" : "No Boards Found"), -1));
        QTEST(rig.views(), "views");
        QCOMPARE(rig.rows(), QStringList{'>' + RelayPattern::toText(std::uint8_t(std::max(pins, 0))) + "-0"});
        QTEST(s.statusText, "status");
        QCOMPARE(s.boardFound, s.statusText == "Board found !");
        QVERIFY(!s.tickTimer.isEnabled() && s.resolutionText == "1");
        for (int b = 0; b < boards; ++b)
            QVERIFY(rig.writes(b).empty() && rig.library.bitMode(b) == (b < 35 && (b || pins >= 0) ? 1 : 0));
    }

    // Dropping the list down closes and reopens every board; the board picked
    // is followed by serial and port wherever it is listed, and the box shows
    // its entry; typed text picks nothing. A board gone, or one that fails a
    // write, is written to no more (nor is the board in its place) until a
    // board is picked again; the strip names it.
    void boards()
    {
        SessionRig rig(3, [](SimulatedLibrary& lib) { lib.forcePins(1, 0x81, 0x81); });
        WindowSession& s = *rig.s;
        const auto shown = [&] { return std::tuple(s.boardText, s.boardIndex, s.statusText, s.boardFound); };
        rig.run([&] { s.pickBoard(1); });
        QCOMPARE(shown(), std::tuple(QStringLiteral("Relay Board 2 "), 1, QStringLiteral("Board found !"), true));
        QCOMPARE(rig.views(), QStringLiteral("10000001 10000001 10000001 00000000"));
        rig.run([&] { s.rediscoverBoards(); s.pickBoard(-1); s.allOn(); });
        QCOMPARE(std::pair(rig.library.openCount(1), rig.library.closeCount(1)), std::pair(2, 1));
        rig.library.setHeldElsewhere(2, true);
        rig.run([&] { s.rediscoverBoards(); s.pickBoard(2); });
        QCOMPARE(std::pair(s.statusText, s.boardFound), std::pair(QStringLiteral("Board not found or already opened!"), false));
        rig.library.setHeldElsewhere(2, false);
        rig.library.setAttached(0, false);
        rig.run([&] { s.pickBoard(1); s.rediscoverBoards(); s.allOff(); });  // board 2 is listed first now
        QCOMPARE(shown(), std::tuple(QStringLiteral("Relay Board 1 "), 0, QStringLiteral("Board found !"), true));
        QCOMPARE(rig.writes(1), (Bytes{0xFF, 0x00}));
        rig.library.setAttached(1, false);
        rig.run([&] { s.rediscoverBoards(); s.allOn(); });
        QCOMPARE(shown(), std::tuple(QStringLiteral("Relay Board 1"), -1, QStringLiteral("Board not found ! board KSIM0002 (port 1-2) is gone: pick a board"), false));
        rig.run([&] { s.pickBoard(0); s.allOn(); });
        rig.library.setAttached(2, false);
        rig.run([&] { s.allOff(); });
        rig.library.setAttached(2, true);
        rig.run([&] { s.rediscoverBoards(); s.allOff(); });
        QCOMPARE(s.statusText, QStringLiteral("board KSIM0003 (port 1-3) failed: the board did not answer; pick a board"));
        QCOMPARE(std::tuple(rig.writes(1), rig.writes(2), rig.errors), std::tuple(Bytes{0xFF, 0x00}, Bytes{0xFF}, QStringList{}));
    }

    // The operator's actions on simulated boards, as steps (see
    // SessionRig::act; "=" notes the runner, "repeat" ticks Repeat, "save"
    // saves saved.txt, "opened": the program is put here, not before the steps).
    // Start always plays row 0 as a loaded step counted from its own
    // duration; each tick counts down; a step lasts at least one tick; a row
    // gets its duration back when the run leaves it; Repeat decides the end.
    // During a run a row the run goes on in is loaded at once while running,
    // at Resume while paused; the bars, lamps and captions show the counted
    // row. A save stores the rows as Stop leaves them.
    // Each click switches only what it names, from what the board showed at
    // start-up. A caption that is not exactly the turn-on label counts as on.
    // Stuck pins: what was written shows on the captions and indicators, what
    // the board reads back on the bars and the row. A row whose first eight
    // characters are not all 0 or 1, or that the board's interlocks refuse, is
    // neither played nor rewritten: a message names it, nothing is written,
    // the row stays; a run that reaches it stops at once, with one message.
    // Under interlocks (7 8 and 3 4 5, dead time 200 ms) a click or a raised
    // bar that changes over breaks, waits in the handler for the make, and
    // makes; what the rules refuse (ALL ON, naming every group; a row; a
    // click on a board left with two of a group on) changes nothing and says so.
    void operatorActions_data()
    {
        // pins: the pins at start-up; bits 8-15: stuck low from then on
        // rows: the program (none: the one row start-up puts)
        // after: the bytes written / the pauses / the views / the runner at each "=", and at the end
        columns<bool, int, QStringList, QString, QString, QStringList>({"interlocks", "pins", "rows", "ops", "after", "errors"});
        const auto row = [](const char* name, bool interlocks, int pins, const QStringList& rows, const QString& ops, const QString& after,
                            const QStringList& errors = {}) { QTest::newRow(name) << interlocks << pins << rows << ops << after << errors; };
        const QString off = "00000000 00000000 00000000 00000000", zero = " / 0 | >00000000-0 | stopped";
        const auto at = [](const char* bytes, const char* pins) { return QStringLiteral("%1 /  / %2 %2 %2 00000000").arg(bytes, pins); };
        const QStringList example{"10000000-3", "01000000-0", "00000000-2"}, three{"10000000-5", "01000000-4", "00100000-6"};
        const QString once = " / 3 | >10000000-3 01000000-0 00000000-2 | running / 2 | >10000000-2 01000000-0 00000000-2 | running"
                             " / 1 | >10000000-1 01000000-0 00000000-2 | running / 0 | 10000000-3 >01000000-0 00000000-2 | running"
                             " / 2 | 10000000-3 01000000-0 >00000000-2 | running / 1 | 10000000-3 01000000-0 >00000000-1 | running";
        row("once", false, 0, example, "type7 opened start = tick = tick = tick = tick = tick = tick", at("01 02 00", "00000000") + once + " / 2 | 10000000-3 01000000-0 >00000000-2 | stopped");
        row("repeat", false, 0, example, "type7 opened repeat start = tick = tick = tick = tick = tick = tick = tick", at("01 02 00 01", "10000000") + once +
            " / 3 | >10000000-3 01000000-0 00000000-2 | running / 2 | >10000000-2 01000000-0 00000000-2 | running");
        row("one row repeated", false, 0, {"10000000-2"}, "type7 opened repeat start = tick = tick = tick", at("01", "10000000") + " / 2 | >10000000-2 | running / 1 | >10000000-1 | running / 2 | >10000000-2 | running / 1 | >10000000-1 | running");
        const QString run = "start tick tick ", first = "5 | >10000000-5 01000000-4 00100000-6 | stopped", cut = "4 | 10000000-5 >01000000-4 | stopped";
        row("pick the counted row", false, 0, three, run + "pick0 = save start", at("01 01", "10000000") + " / 3 | >10000000-3 01000000-4 00100000-6 | running / " + first);
        row("pick another row", false, 0, three, run + "pick2 = save start", at("01 04", "00100000") + " / 6 | 10000000-5 01000000-4 >00100000-6 | running / 6 | 10000000-5 01000000-4 >00100000-6 | stopped");
        row("add", false, 0, three, run + "add = save start", at("01 01", "10000000") + " / 5 | 10000000-5 01000000-4 00100000-6 >10000000-5 | running / 5 | 10000000-5 01000000-4 00100000-6 >10000000-5 | stopped");
        row("clear", false, 0, three, run + "clear = save start", at("01", "10000000") + " / 3 | >10000000-3 01000000-4 | running / 5 | >10000000-5 01000000-4 | stopped");
        row("clear the counted row", false, 0, three, run + "pick2 tick clear = save start", at("01 04 02", "01000000") + " / 4 | 10000000-5 >01000000-4 | running / " + cut);
        row("clear it paused, resume", false, 0, three, run + "pick2 pause clear resume tick = save start", at("01 04 02", "01000000") + " / 3 | 10000000-5 >01000000-3 | running / " + cut);
        row("clear all", false, 0, three, run + "clearall = save start", at("01 00 00", "00000000") + " / 0 | >00000000-0 | running / 0 | >00000000-0 | stopped");
        row("type 50", false, 0, three, run + "type50 tick = save start", at("01", "10000000") + " / 49 | >10000000-49 01000000-4 00100000-6 | running / " + first);
        row("open", false, 0, three, run + "open = save start", at("01 80", "00000001") + " / 2 | >00000001-2 | running / 2 | >00000001-2 | stopped");
        row("open paused", false, 0, three, run + "pause open = save start", at("01", "10000000") + " / 2 | >00000001-2 | paused / 2 | >00000001-2 | stopped");
        row("open paused, resume", false, 0, three, run + "pause open resume tick = save start", at("01 80", "00000001") + " / 1 | >00000001-1 | running / 2 | >00000001-2 | stopped");
        row("pause", false, 0, three, run + "pause tick tick = save start", at("01", "10000000") + " / 3 | >10000000-3 01000000-4 00100000-6 | paused / " + first);
        row("pause, resume", false, 0, three, run + "pause resume tick = save start", at("01", "10000000") + " / 2 | >10000000-2 01000000-4 00100000-6 | running / " + first);
        row("relay 3 on, off", false, 0, {}, "m3 m3", "04 00 / 50 50 50 50 / " + off + zero);
        row("relay 2 beside 1 and 3", false, 0x05, {}, "m2", "07 / 50 50 / 11100000 11100000 11100000 11100000 / 0 | >11100000-0 | stopped");
        row("all on, relay 8", false, 0, {}, "on m8", "ff 7f / 50 50 50 50 / 11111110 11111110 11111110 00000000 / 0 | >11111110-0 | stopped");
        row("all off", false, 0xFF, {}, "off", "00 / 50 50 / 00000000 00000000 00000000 11111111" + zero);
        row("step bars", false, 0, {}, "b2 b5 b2", "02 12 10 / 50 50 50 / 00001000 00001000 00001000 00001000 / 0 | >00001000-0 | stopped");
        row("renamed turn-on label", false, 0, {}, "rename3 m3", "00 / 50 50 / " + off + zero);
        row("caption in other case", false, 0, {}, "lower3 m3", "00 / 50 50 / " + off + zero);
        row("relay 1 stuck low", false, 0x100, {}, "on", "ff / 50 50 / 11111111 01111111 11111111 00000000 / 0 | >01111111-0 | stopped");
        auto refused = [](int row, const char* relays) {
            return QStringLiteral("Row %1 is not a relay pattern: %2 must be eight characters 0 or 1").arg(row).arg(relays);
        };
        const QStringList bad{"10000000-5", "1000000-12"};
        const QString halted = "5 | 10000000-5 >1000000-12 | stopped";
        row("click", true, 0, bad, "pick1", " /  / " + off + " / 0 | 10000000-5 >1000000-12 | stopped", {refused(2, "1000000-")});
        row("start", true, 0, {"", "10000000-3"}, "start tick", " /  / " + off + " / 0 | > 10000000-3 | stopped", {refused(1, "")});
        row("a tick reaches it", true, 0, bad, "start tick tick tick tick tick tick", "01 /  / 10000000 10000000 10000000 00000000 / " + halted, {refused(2, "1000000-")});
        row("picked while running", true, 0, bad, "start tick tick pick1 tick", "01 /  / 10000000 10000000 10000000 00000000 / " + halted, {refused(2, "1000000-")});
        row("up-down", true, 0, {"1010101"}, "up", " /  / " + off + " / 1 | >1010101 | stopped", {refused(1, "1010101"), refused(1, "1010101")});
        row("typed", true, 0, {"1000000-12"}, "type7", " /  / " + off + " / 7 | >1000000-12 | stopped", {refused(1, "1000000-")});
        const QString row2 = "Row 2 cannot be loaded: relays 7, 8 are interlocked: at most one of them may be on";
        row("a tick reaches a row the board refuses", true, 0, {"10000000-2", "00000011-2"}, "start tick tick tick",
            "01 /  / 10000000 10000000 10000000 00000000 / 2 | 10000000-2 >00000011-2 | stopped", {row2});
        const QString allOn = "ALL ON is refused on this board: relays 7, 8 are interlocked; relays 3, 4, 5 are interlocked: at most one relay of each group may be on";
        const QStringList ruled{"00000000-5", "00000011-5"};
        row("change-overs", true, 0, ruled, "m7 m8 on pick1 b7", "40 00 80 00 40 / 50 50 50 201 50 201 50 / 00000010 00000010 00000010 00000010 / 0 | 00000001-0 >00000010-0 | stopped", {allOn, row2});
        const QString relay1 = "Switching relay 1 is refused on this board: relays 7, 8 are interlocked: at most one of them may be on";
        row("a board left with two of a group on", true, 0xC0, ruled, "m1 b1 m7", "80 / 50 50 / 00000001 00000001 00000001 00000001 / 0 | >00000001-0 00000011-5 | stopped", {relay1, relay1});
    }
    void operatorActions()
    {
        const int pins = fetch<int>("pins");
        SessionRig rig(1, [&](SimulatedLibrary& lib) {
            lib.setPins(0, std::uint8_t(pins)), lib.forcePins(0, std::uint8_t(pins >> 8), 0);
            if (fetch<bool>("interlocks"))
                writeFile("boards.conf", "[board m]\nserial = KSIM0001\ninterlock = 7 8, 3 4 5\ndead_time_ms = 200\n");
        }, "boards.conf");
        WindowSession& s = *rig.s;
        writeFile(QStringLiteral("next.txt"), "00000001-2\r\n");
        const QString ops = fetch<QString>("ops");
        if (!ops.contains("opened") && !fetch<QStringList>("rows").isEmpty())
            rig.program(fetch<QStringList>("rows"));
        QObject::connect(&s, &WindowSession::errorRaised, [&] { QVERIFY(!s.tickTimer.isEnabled()); });  // no tick under the message
        QStringList runner;
        for (const QString& op : ops.split(' ')) {
            const auto n = std::size_t(op.right(1).toInt());
            if (op.startsWith("rename")) s.labels.setSlot(int(n) - 1, "Lamp");  // the caption now matches neither label
            else if (op.startsWith("lower")) s.captions[n] = s.captions[n].toLower();
            else if (op == "repeat") s.setRepeat(true);
            else if (op == "save") QCOMPARE(s.saveProgram(QStringLiteral("saved.txt")), QString());
            else if (op == "=") runner << rig.run();
            else if (op == "opened") rig.program(fetch<QStringList>("rows"));
            else rig.act(op);
            if (op == "=" && s.runner.state() == ProgramRunner::State::Running)  // the bars, lamps and captions show the counted row
                QCOMPARE(rig.views().left(26), QStringList(3, rig.rows()[s.currentRow()].mid(1, 8)).join(' '));
        }
        QStringList written, pauses;
        for (const std::uint8_t b : rig.writes())
            written << QString::number(b, 16).rightJustified(2, u'0');
        for (const int ms : rig.pauses)
            pauses << QString::number(ms);
        QCOMPARE((QStringList{written.join(' '), pauses.join(' '), rig.views()} + runner + QStringList{rig.run()}).join(" / "), fetch<QString>("after"));
        QTEST(rig.errors, "errors");
        QVERIFY(!QFile::exists("saved.txt") || readFile(QStringLiteral("saved.txt")) == ProgramFile::serialize(s.program.rows()));
        QCOMPARE(s.tickTimer.isEnabled(), s.runActive());
    }

    // A press on any relay button fills the dialog's texts (whether a right
    // press shows it is the window test's). OK stores at most 18
    // characters after a pause, unless both would be stored alike. A file's
    // identical pair is read as it is. Closing saves the labels and closes
    // board 1 only.
    void labels()
    {
        SessionRig rig(2, [](SimulatedLibrary&) {
            QByteArray image = LabelTable().image().replace("Relay 2 ON", QByteArray("Pump\0\0\0\0\0\0", 10));
            writeFile("labels.dat", image.replace("Relay 2 OFF", QByteArray("Pump\0\0\0\0\0\0\0", 11)));
        });
        WindowSession& s = *rig.s;
        QCOMPARE(std::pair(s.captions[2], s.labels.turnOff(2)), std::pair(QStringLiteral("Pump"), QByteArray("Pump")));
        s.relayButtonPressed(11, true);  // relay 3's step bar
        QCOMPARE(s.labelOnText, QStringLiteral("Relay 3 ON"));
        QVERIFY(s.completeLabelEdit(QStringLiteral("A label of 24 letters.."), QStringLiteral("A label of 24 lett")).contains("must differ"));
        QVERIFY(s.labels.turnOff(3) == "Relay 3 OFF" && rig.pauses.isEmpty());
        s.completeLabelEdit(QStringLiteral("A label of 24 letters.."), QStringLiteral("Off"));
        QCOMPARE(std::pair(s.labels.turnOn(3), s.labels.turnOff(3)), std::pair(QByteArray("A label of 24 lett"), QByteArray("Off")));
        QCOMPARE(rig.pauses, QList<int>{50});
        s.shutDown();
        QCOMPARE(readFile(QStringLiteral("labels.dat")), s.labels.image());
        QCOMPARE(std::pair(rig.library.closeCount(0), rig.library.closeCount(1)), std::pair(1, 0));
    }
};

QTEST_GUILESS_MAIN(SessionTest)
#include "tst_session.moc"
