// The window session without a window: start-up, boards, the manual panel,
// the step bars, labels, the program list and the runner, on simulated boards.
#include "fixture.h"

#include "engine/program/program_file.h"

using namespace fixture;

namespace {
// A window session on simulated boards, in a working directory of its own
// (`prepare` runs there before start-up, which reads boards.conf there), with
// its pauses recorded instead of slept (they move its clock on, `now`).
struct SessionRig {
    SessionRig(int boards, const std::function<void(SimulatedLibrary&)>& prepare)
    {
        for (int i = 0; i < boards; ++i)
            library.addBoard();
        prepare(library);
        s = std::make_unique<WindowSession>(library);
        s->boardsFile = QStringLiteral("boards.conf");
        s->pause = [this](int ms) { pauses << ms, now += ms; };
        s->clock = [this] { return now; };
        QObject::connect(s.get(), &WindowSession::errorRaised, [this](const QString& e) { errors << e; });
        s->guarded([this] { s->startUp(); });
        now += 10'000;  // the operator's first action, a while after start-up
    }
    ~SessionRig() { s->tickTimer.setEnabled(false); }

    void program(const QByteArrayList& rows) { s->program.replaceAll(Rows(rows.begin(), rows.end())); }  // as an opened file puts them
    QStringList rows() const
    {
        QStringList out;
        for (int i = 0; i < s->program.count(); ++i)
            out << (i == s->currentRow() ? QStringLiteral(">") : QString()) + QString::fromLatin1(s->program.text(i));
        return out;
    }
    // One word per view, one character per relay: the manual captions
    // (1 = the turn-off label shows, 0 = the turn-on label, ? = neither),
    // the step bars (1 = raised), the lamps (1 = on, 0 = off,
    // - = unlit), then the step bar captions the same way as the manual ones.
    QString views() const
    {
        QString captions, bars, lamps, barCaptions;
        for (int r = 1; r <= 8; ++r) {
            const auto i = static_cast<std::size_t>(r);
            auto which = [&](const QString& c) {
                return c == labelText(s->labels.turnOff(r)) ? '1' : c == labelText(s->labels.turnOn(r)) ? '0' : '?';
            };
            captions += QLatin1Char(which(s->captions[i]));
            barCaptions += QLatin1Char(which(s->barCaptions[i]));
            bars += QLatin1Char(s->barsRaised[i] ? '1' : '0');
            lamps += QLatin1Char(s->indicators[i] == Lamp::On ? '1' : s->indicators[i] == Lamp::Off ? '0' : '-');
        }
        return QStringList{captions, bars, lamps, barCaptions}.join(QLatin1Char(' '));
    }
    // The runner as the window shows it: timer value, rows, run state.
    QString runner() const
    {
        static const char* const states[] = {"stopped", "running", "paused"};
        return QStringLiteral("%1 | %2 | %3").arg(s->timerValue, rows().join(QLatin1Char(' ')), QLatin1String(states[static_cast<int>(s->runner.state())]));
    }

    WorkDir work;  // entered before the session starts
    SimulatedLibrary library;
    std::unique_ptr<WindowSession> s;
    QStringList errors;
    QList<int> pauses;
    qint64 now = 0;
};
}  // namespace

class SessionTest : public QObject {
    Q_OBJECT
private slots:
    // The operator's actions on simulated boards, as steps: m3 (relay 3's
    // manual button), b3 (its step bar), on, off (ALL ON/OFF), pick2 (a click
    // on row 2), add, clear, clearall, start (or Stop), pause, resume, tick,
    // up (an up-down arrow), type50 (into the timer value), open (next.txt);
    // "=" notes the runner, "#" the board box and strip; "repeat" ticks Repeat; "save" saves saved.txt; "opened":
    // the program is put here, not before the steps; board2: Select Board
    // picks its entry 2, counted from 0 (board-1: typed text); drop: the list
    // is dropped down; to the library's board 2, counted from 0 as well:
    // unplug2, plug2, held2 (by another program), free2, stuck2 (relays 1 and
    // 8 stuck on), opens2 notes how often it was opened and closed; press11: a
    // right press on relay button 11 (relay 3's step bar); label:ON:OFF: OK in
    // the label dialog on those texts ("_" for a space), noting its message;
    // labels2 notes relay 2's caption, its labels and the dialog's turn-on
    // text; shut: the window closes.
    // Start-up lists and opens the boards, reads the first board's pins
    // (writing nothing) and shows them, saying so on the strip; without board
    // 1 every button offers to switch its relay on. The tick is 1 ms.
    // Dropping the list down closes and reopens every board; the board picked
    // is followed by serial and port wherever it is listed, and the box shows
    // its entry; typed text picks nothing. A board gone, or one that fails a
    // write, is written to no more (nor is the board in its place) until a
    // board is picked again; the strip names it.
    // Start always plays row 0 as a loaded step counted from its own
    // duration; each tick counts down; a step lasts at least one tick; a row
    // gets its duration back when the run leaves it; Repeat decides the end.
    // During a run a row the run goes on in is loaded at once while running,
    // at Resume while paused; the bars, lamps and captions show the counted
    // row. A save stores the rows as Stop leaves them.
    // A press on any relay button fills the dialog's texts (whether a right
    // press shows it is the window test's). OK stores at most 18
    // characters after a pause, unless both would be stored alike. A file's
    // identical pair is read as it is. Closing saves the labels and closes
    // board 1 only.
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
        // pins: board 0's at start-up; bits 8-15: stuck low from then on; -1: it is held by another program
        // rows: the program (none: the one row start-up puts)
        // after: the bytes written (to board 0; "2: ..." to board 2) / the pauses / the views / the notes / the runner;
        // "#" notes the entries (their number: the first), the box's text and index, the strip, each board's bit mode
        columns<QString, int, QByteArrayList, QString, QString, QStringList, int>({"setup", "pins", "rows", "ops", "after", "errors", "boards"});
        const auto row = [](const char* name, const QString& setup, int pins, const QByteArrayList& rows, const QString& ops, const QString& after,
                            const QStringList& errors = {}, int boards = 1) { QTest::newRow(name) << setup << pins << rows << ops << after << errors << boards; };
        const QString unlit = " /  / 00000000 00000000 -------- 00000000 / ";
        row("no board", "", 0, {}, "#", unlit + "0:  | No Boards Found -1 | Board not found ! |  / 0 | >00000000-0 | stopped", {}, 0);
        row("one board", "", 0, {}, "#", " /  / 00000000 00000000 00000000 00000000 / 1: Relay Board 1 | Relay Board 1 -1 | Board found ! | 1 / 0 | >00000000-0 | stopped");
        row("relays left on", "", 0x05, {}, "#", " /  / 10100000 10100000 10100000 10100000 / 1: Relay Board 1 | Relay Board 1 -1 | Board found ! | 1 / 0 | >10100000-0 | stopped");
        row("forty boards", "", 0x80, {}, "#", " /  / 00000001 00000001 00000001 00000001 / 35: Relay Board 1  | Relay Board 1 -1 | Board found ! | " + QString(35, '1') + QString(5, '0') + " / 0 | >00000001-0 | stopped", {}, 40);
        row("board 1 held", "", -1, {}, "#", unlit + "2: Relay Board 1  | Relay Board 1 -1 | Board not found ! | 01 / 0 | >00000000-0 | stopped", {}, 2);
        row("board 2 picked", "", 0, {}, "stuck1 board1 #", " /  / 10000001 10000001 10000001 00000000 / 3: Relay Board 1  | Relay Board 2  1 | Board found ! | 111 / 0 | >10000001-0 | stopped", {}, 3);
        row("labels", "pump labels", 0, {}, "labels2 press11 label:A_label_of_24_letters..:A_label_of_24_lett labels3 label:A_label_of_24_letters..:Off labels3 shut opens0 opens1",
            " / 50 / 01?00000 00000000 00000000 01?00000 / Pump, Pump, Pump,  / The ON and OFF labels must differ: a relay button's caption tells whether its next click "
            "switches the relay on or off.\n\nBoth would be stored as \"A label of 24 lett\". / Relay 3 ON, Relay 3 ON, Relay 3 OFF, Relay 3 ON /  / Relay 3 ON, "
            "A label of 24 lett, Off, Relay 3 ON / opened 1, closed 1 / opened 1, closed 0 / 0 | >00000000-0 | stopped", {}, 2);
        row("boards come and go", "", 0, {}, "stuck1 board1 drop board-1 on opens1 held2 drop board2 # free2 unplug0 board1 drop off # unplug1 drop on # board0 on unplug2 off plug2 drop off #",
            "; 1: ff 00; 2: ff / " + QStringList(12, "50").join(' ') + " / 00000000 00000000 00000000 00000000 / opened 2, closed 1 / 3: Relay Board 1  | Relay Board 3  2 | "
            "Board not found or already opened! | 111 / 2: Relay Board 1  | Relay Board 1  0 | Board found ! | 011 / 1: Relay Board 1 | Relay Board 1 -1 | Board not found ! "
            "board KSIM0002 (port 1-2) is gone: pick a board | 001 / 1: Relay Board 1 | Relay Board 1 -1 | board KSIM0003 (port 1-3) failed: the board did not answer; "
            "pick a board | 001 / 0 | >00000000-0 | stopped", {}, 3);
        const QString off = "00000000 00000000 00000000 00000000", zero = " / 0 | >00000000-0 | stopped";
        const auto at = [](const char* bytes, const char* pins) { return QStringLiteral("%1 /  / %2 %2 %2 00000000").arg(bytes, pins); };
        const QByteArrayList example{"10000000-3", "01000000-0", "00000000-2"}, three{"10000000-5", "01000000-4", "00100000-6"};
        const QString once = " / 3 | >10000000-3 01000000-0 00000000-2 | running / 2 | >10000000-2 01000000-0 00000000-2 | running"
                             " / 1 | >10000000-1 01000000-0 00000000-2 | running / 0 | 10000000-3 >01000000-0 00000000-2 | running"
                             " / 2 | 10000000-3 01000000-0 >00000000-2 | running / 1 | 10000000-3 01000000-0 >00000000-1 | running";
        row("once", "", 0, example, "type7 opened start = tick = tick = tick = tick = tick = tick", at("01 02 00", "00000000") + once + " / 2 | 10000000-3 01000000-0 >00000000-2 | stopped");
        row("repeat", "", 0, example, "type7 opened repeat start = tick = tick = tick = tick = tick = tick = tick", at("01 02 00 01", "10000000") + once +
            " / 3 | >10000000-3 01000000-0 00000000-2 | running / 2 | >10000000-2 01000000-0 00000000-2 | running");
        row("one row repeated", "", 0, {"10000000-2"}, "type7 opened repeat start = tick = tick = tick", at("01", "10000000") + " / 2 | >10000000-2 | running / 1 | >10000000-1 | running / 2 | >10000000-2 | running / 1 | >10000000-1 | running");
        const QString run = "start tick tick ", first = "5 | >10000000-5 01000000-4 00100000-6 | stopped", cut = "4 | 10000000-5 >01000000-4 | stopped";
        row("pick the counted row", "", 0, three, run + "pick0 = save start", at("01 01", "10000000") + " / 3 | >10000000-3 01000000-4 00100000-6 | running / " + first);
        row("pick another row", "", 0, three, run + "pick2 = save start", at("01 04", "00100000") + " / 6 | 10000000-5 01000000-4 >00100000-6 | running / 6 | 10000000-5 01000000-4 >00100000-6 | stopped");
        row("add", "", 0, three, run + "add = save start", at("01 01", "10000000") + " / 5 | 10000000-5 01000000-4 00100000-6 >10000000-5 | running / 5 | 10000000-5 01000000-4 00100000-6 >10000000-5 | stopped");
        row("clear", "", 0, three, run + "clear = save start", at("01", "10000000") + " / 3 | >10000000-3 01000000-4 | running / 5 | >10000000-5 01000000-4 | stopped");
        row("clear the counted row", "", 0, three, run + "pick2 tick clear = save start", at("01 04 02", "01000000") + " / 4 | 10000000-5 >01000000-4 | running / " + cut);
        row("clear it paused, resume", "", 0, three, run + "pick2 pause clear resume tick = save start", at("01 04 02", "01000000") + " / 3 | 10000000-5 >01000000-3 | running / " + cut);
        row("clear all", "", 0, three, run + "clearall = save start", at("01 00 00", "00000000") + " / 0 | >00000000-0 | running / 0 | >00000000-0 | stopped");
        row("type 50", "", 0, three, run + "type50 tick = save start", at("01", "10000000") + " / 49 | >10000000-49 01000000-4 00100000-6 | running / " + first);
        row("open", "", 0, three, run + "open = save start", at("01 80", "00000001") + " / 2 | >00000001-2 | running / 2 | >00000001-2 | stopped");
        row("open paused", "", 0, three, run + "pause open = save start", at("01", "10000000") + " / 2 | >00000001-2 | paused / 2 | >00000001-2 | stopped");
        row("open paused, resume", "", 0, three, run + "pause open resume tick = save start", at("01 80", "00000001") + " / 1 | >00000001-1 | running / 2 | >00000001-2 | stopped");
        row("pause", "", 0, three, run + "pause tick tick = save start", at("01", "10000000") + " / 3 | >10000000-3 01000000-4 00100000-6 | paused / " + first);
        row("pause, resume", "", 0, three, run + "pause resume tick = save start", at("01", "10000000") + " / 2 | >10000000-2 01000000-4 00100000-6 | running / " + first);
        row("relay 3 on, off", "", 0, {}, "m3 m3", "04 00 / 50 50 50 50 / " + off + zero);
        row("relay 2 beside 1 and 3", "", 0x05, {}, "m2", "07 / 50 50 / 11100000 11100000 11100000 11100000 / 0 | >11100000-0 | stopped");
        row("all on, relay 8", "", 0, {}, "on m8", "ff 7f / 50 50 50 50 / 11111110 11111110 11111110 00000000 / 0 | >11111110-0 | stopped");
        row("all off", "", 0xFF, {}, "off", "00 / 50 50 / 00000000 00000000 00000000 11111111" + zero);
        row("step bars", "", 0, {}, "b2 b5 b2", "02 12 10 / 50 50 50 / 00001000 00001000 00001000 00001000 / 0 | >00001000-0 | stopped");
        row("renamed turn-on label", "", 0, {}, "rename3 m3", "00 / 50 50 / " + off + zero);
        row("caption in other case", "", 0, {}, "lower3 m3", "00 / 50 50 / " + off + zero);
        row("relay 1 stuck low", "", 0x100, {}, "on", "ff / 50 50 / 11111111 01111111 11111111 00000000 / 0 | >01111111-0 | stopped");
        auto refused = [](int row, const char* relays) {
            return QStringLiteral("Row %1 is not a relay pattern: %2 must be eight characters 0 or 1").arg(row).arg(relays);
        };
        const QByteArrayList bad{"10000000-5", "1000000-12"};
        const QString halted = "5 | 10000000-5 >1000000-12 | stopped";
        row("click", "interlocks", 0, bad, "pick1", " /  / " + off + " / 0 | 10000000-5 >1000000-12 | stopped", {refused(2, "1000000-")});
        row("start", "interlocks", 0, {"", "10000000-3"}, "start tick", " /  / " + off + " / 0 | > 10000000-3 | stopped", {refused(1, "")});
        row("a tick reaches it", "interlocks", 0, bad, "start tick tick tick tick tick tick", "01 /  / 10000000 10000000 10000000 00000000 / " + halted, {refused(2, "1000000-")});
        row("picked while running", "interlocks", 0, bad, "start tick tick pick1 tick", "01 /  / 10000000 10000000 10000000 00000000 / " + halted, {refused(2, "1000000-")});
        row("up-down", "interlocks", 0, {"1010101"}, "up", " /  / " + off + " / 1 | >1010101 | stopped", {refused(1, "1010101"), refused(1, "1010101")});
        row("typed", "interlocks", 0, {"1000000-12"}, "type7", " /  / " + off + " / 7 | >1000000-12 | stopped", {refused(1, "1000000-")});
        const QString row2 = "Row 2 cannot be loaded: relays 7, 8 are interlocked: at most one of them may be on";
        row("a tick reaches a row the board refuses", "interlocks", 0, {"10000000-2", "00000011-2"}, "start tick tick tick",
            "01 /  / 10000000 10000000 10000000 00000000 / 2 | 10000000-2 >00000011-2 | stopped", {row2});
        const QString allOn = "ALL ON is refused on this board: relays 7, 8 are interlocked; relays 3, 4, 5 are interlocked: at most one relay of each group may be on";
        const QByteArrayList ruled{"00000000-5", "00000011-5"};
        row("change-overs", "interlocks", 0, ruled, "m7 m8 on pick1 b7", "40 00 80 00 40 / 50 50 50 201 50 201 50 / 00000010 00000010 00000010 00000010 / 0 | 00000001-0 >00000010-0 | stopped", {allOn, row2});
        const QString relay1 = "Switching relay 1 is refused on this board: relays 7, 8 are interlocked: at most one of them may be on";
        row("a board left with two of a group on", "interlocks", 0xC0, ruled, "m1 b1 m7", "80 / 50 50 / 00000001 00000001 00000001 00000001 / 0 | >00000001-0 00000011-5 | stopped", {relay1, relay1});
    }
    void operatorActions()
    {
        const int pins = fetch<int>("pins"), boards = fetch<int>("boards");
        SessionRig rig(boards, [&](SimulatedLibrary& lib) {
            if (pins < 0)
                lib.setHeldElsewhere(0, true);
            else if (boards)
                lib.setPins(0, std::uint8_t(pins)), lib.forcePins(0, std::uint8_t(pins >> 8), 0);
            if (fetch<QString>("setup") == "interlocks")
                writeFile("boards.conf", "[board m]\nserial = KSIM0001\ninterlock = 7 8, 3 4 5\ndead_time_ms = 200\n");
            QByteArray image = LabelTable().image().replace("Relay 2 ON", QByteArray("Pump\0\0\0\0\0\0", 10));
            if (fetch<QString>("setup") == "pump labels")
                writeFile("labels.dat", image.replace("Relay 2 OFF", QByteArray("Pump\0\0\0\0\0\0\0", 11)));
        });
        WindowSession& s = *rig.s;
        writeFile(QStringLiteral("next.txt"), "00000001-2\r\n");
        const QString ops = fetch<QString>("ops");
        if (!ops.contains("opened") && !fetch<QByteArrayList>("rows").isEmpty())
            rig.program(fetch<QByteArrayList>("rows"));
        QObject::connect(&s, &WindowSession::errorRaised, [&] { QVERIFY(!s.tickTimer.isEnabled()); });  // no tick under the message
        QStringList notes;
        using W = WindowSession;
        static const QHash<QString, void (W::*)()> plain{
            {"on", &W::allOn}, {"off", &W::allOff}, {"add", &W::addRow}, {"clear", &W::clearLastRow},
            {"clearall", &W::clearAllRows}, {"start", &W::startOrStop}, {"pause", &W::pauseOrResume},
            {"resume", &W::pauseOrResume}, {"tick", &W::tick}, {"drop", &W::rediscoverBoards}};
        for (const QString& op : ops.split(' ')) {
            static const QRegularExpression number("-?\\d+$");
            const int n = number.match(op).captured().toInt();
            QString modes;
            for (int b = 0; b < boards; ++b)
                modes += QString::number(rig.library.bitMode(b));
            if (plain.contains(op)) s.guarded([&] { (s.*plain[op])(); });
            else if (op.startsWith("rename")) s.labels.setSlot(n - 1, "Lamp");  // the caption now matches neither label
            else if (op.startsWith("lower")) s.captions[std::size_t(n)] = s.captions[std::size_t(n)].toLower();
            else if (op == "repeat") s.setRepeat(true);
            else if (op == "save") QCOMPARE(s.saveProgram(QStringLiteral("saved.txt")), QString());
            else if (op == "=") notes << rig.runner();
            else if (op == "#") notes << QStringLiteral("%1: %2 | %3 %4 | %5 | %6").arg(s.boardEntries.size()).arg(s.boardEntries.value(0).text, s.boardText).arg(s.boardIndex).arg(s.statusText, modes);
            else if (op == "opened") rig.program(fetch<QByteArrayList>("rows"));
            else if (op.startsWith("board")) s.guarded([&] { s.pickBoard(n); });
            else if (op.startsWith("unplug") || op.startsWith("plug")) rig.library.setAttached(n, op[0] == u'p');
            else if (op.startsWith("held") || op.startsWith("free")) rig.library.setHeldElsewhere(n, op[0] == u'h');
            else if (op.startsWith("stuck")) rig.library.forcePins(n, 0x81, 0x81);
            else if (op.startsWith("opens")) notes << QStringLiteral("opened %1, closed %2").arg(rig.library.openCount(n)).arg(rig.library.closeCount(n));
            else if (op.startsWith("press")) s.relayButtonPressed(n, true);
            else if (op.startsWith("label:")) notes << s.completeLabelEdit(op.section(u':', 1, 1).replace(u'_', u' '), op.section(u':', 2).replace(u'_', u' '));
            else if (op.startsWith("labels")) notes << QStringList{s.captions[std::size_t(n)], s.labels.turnOn(n), s.labels.turnOff(n), s.labelOnText}.join(", ");
            else if (op == "shut") s.shutDown();
            else if (op[0] == 'm') s.guarded([&] { s.toggleRelay(n); });
            else if (op[0] == 'b') s.guarded([&] { s.toggleStepBar(n); });
            else if (op.startsWith("pick")) s.guarded([&] { s.pickRow(n); });
            else if (op == "up") s.guarded([&] { s.stepTimerValue(1); });
            else if (op.startsWith("type")) s.guarded([&] { s.editTimerValue(op.mid(4)); });
            else s.guarded([&] { QCOMPARE(s.openProgram(QStringLiteral("next.txt")), QString()); });
            if (op == "=" && s.runner.state() == ProgramRunner::State::Running)  // the bars, lamps and captions show the counted row
                QCOMPARE(rig.views().left(26), QStringList(3, rig.rows()[s.currentRow()].mid(1, 8)).join(' '));
            QCOMPARE(s.boardFound, s.statusText == "Board found !");
        }
        QStringList written, pauses;
        for (int b = 0; b < boards; ++b) {
            QStringList bytes;
            for (const std::uint8_t byte : rig.library.writes(b))
                bytes << QString::number(byte, 16).rightJustified(2, u'0');
            if (b == 0 || !bytes.isEmpty())
                written << (b ? QStringLiteral("%1: ").arg(b) : QString()) + bytes.join(' ');
        }
        for (const int ms : rig.pauses)
            pauses << QString::number(ms);
        QCOMPARE((QStringList{written.join("; "), pauses.join(' '), rig.views()} + notes + QStringList{rig.runner()}).join(" / "), fetch<QString>("after"));
        QCOMPARE(s.resolutionText, QStringLiteral("1"));
        QTEST(rig.errors, "errors");
        QVERIFY(!ops.contains("shut") || readFile(QStringLiteral("labels.dat")) == s.labels.image());
        QVERIFY(!QFile::exists("saved.txt") || readFile(QStringLiteral("saved.txt")) == ProgramFile::serialize(s.program.rows()));
        QCOMPARE(s.tickTimer.isEnabled(), s.runActive());
    }
};

QTEST_GUILESS_MAIN(SessionTest)
#include "tst_session.moc"
