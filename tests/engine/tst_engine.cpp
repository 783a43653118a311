// The engine's parts below the window: labels.dat, boards.conf, program files, relay
// operations on one board, and programs played on a board without a window.
#include "fixture.h"

#include "engine/config/boards_conf.h"
#include "engine/device/board_link.h"
#include "engine/device/board_lock.h"
#include "engine/device/board_timeline.h"
#include "engine/program/board_player.h"
#include "engine/program/program_file.h"
#include "engine/program/program_row.h"
#include "engine/program/program_runner.h"
#include "engine/program/strict_program.h"
#include "engine/program/tick_timer.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace fixture;

namespace {
const QString Labels = QStringLiteral("labels.dat");

// Labels "L00" ... "L15" as a 320-byte image, each record the label, a NUL
// and `fill`; the first `count` of them, defaults after.
QList<QByteArray> numbered(int count = 16)
{
    QList<QByteArray> out;
    for (int s = 0; s < LabelTable::SlotCount; ++s)
        out << (s < count ? QByteArray("L") + QByteArray::number(s).rightJustified(2, '0') : LabelTable::defaultLabel(s));
    return out;
}
QByteArray imageOf(const QList<QByteArray>& labels, char fill = '\0')
{
    QByteArray out;
    for (const QByteArray& label : labels)
        out += label + '\0' + QByteArray(19 - label.size(), fill);
    return out;
}
// A simulated board whose pins read as given, opened under a motor pair
// (7 8) and a group of three (3 4 5) with a 30 ms dead time.
struct RuledBoard {
    explicit RuledBoard(std::uint8_t pins)
    {
        library.addBoard(), library.setPins(0, pins);
        library.setWriteObserver([this](int, std::uint8_t b) { log << QStringLiteral("w%1").arg(b, 2, 16, QLatin1Char('0')); });
        link.setRulesSource([](const DeviceInfo&) { return Outcome<BoardRules>::success({{{7, 8}, {3, 4, 5}}, 30}); });
        link.setLockFolder(QDir::currentPath());
        link.discover(), link.open(0), library.clearLog(), log.clear();
    }
    SimulatedLibrary library;
    BoardLink link{library};
    QStringList log;  // "w40" for a byte written
};

struct FakeClock final : MonotonicClock {
    std::chrono::nanoseconds at{};
    std::chrono::nanoseconds now() const override { return at; }
};

QList<QByteArray> slotsOf(const LabelTable& table)
{
    QList<QByteArray> out;
    for (int s = 0; s < LabelTable::SlotCount; ++s)
        out << table.slot(s);
    return out;
}
}  // namespace

class EngineTest : public QObject {
    Q_OBJECT
    std::unique_ptr<WorkDir> work_;
private slots:
    void init() { work_ = std::make_unique<WorkDir>(); }
    void cleanup() { work_.reset(); }

    // A record without its NUL gives its first 19 bytes; bytes after a NUL
    // and beyond the 320th mean nothing; a record cut short loads only if
    // its NUL made it into the file; slots not covered keep their defaults.
    void labelFiles_data()
    {
        columns<QByteArray, QList<QByteArray>>({"content", "expected"});
        const QByteArray full = imageOf(numbered());
        QByteArray dirty = imageOf(numbered(), 'z');
        dirty.replace(60, 20, "ABCDEFGHIJKLMNOPQRST");
        dirty.replace(80, 20, QByteArray("Hi\0junk\0more", 12) + QByteArray(8, 'q'));
        QList<QByteArray> dirtyLabels = numbered();
        dirtyLabels[3] = "ABCDEFGHIJKLMNOPQRS";
        dirtyLabels[4] = "Hi";
        QTest::newRow("record without NUL, junk after NUL") << dirty << dirtyLabels;
        QTest::newRow("long") << full + QByteArray(80, 'Q') << numbered();
        QTest::newRow("empty") << QByteArray() << numbered(0);
        QTest::newRow("NUL of record 5 inside") << full.left(104) << numbered(6);
        QTest::newRow("NUL of record 5 outside") << full.left(103) << numbered(5);
    }
    void labelFiles()
    {
        QFETCH(QByteArray, content);
        writeFile(Labels, content);
        LabelTable loaded;
        loaded.setSlot(15, "stale");
        QVERIFY(LabelFile::load(Labels, loaded));
        QTEST(slotsOf(loaded), "expected");
        QCOMPARE(readFile(Labels), content);
        loaded.setSlot(0, QByteArray("ABCDEFGHIJKLMNOPQRSTUVWXYZ"));  // a label keeps 19 bytes
        QCOMPARE(loaded.slot(0), QByteArray("ABCDEFGHIJKLMNOPQRS"));
        QVERIFY(LabelFile::save(Labels, loaded).isEmpty());
        QCOMPARE(readFile(Labels), imageOf(slotsOf(loaded)));
    }

    // Where no new file can be made, labels.dat and program files are
    // written in place; a read-only file is never written. A save that
    // fails, saying so naming the file, keeps the old file whole and leaves
    // nothing behind.
    void readOnlyPlaces_data()
    {
        // file: 0 none, 1 writable (saved unless the disk is full), 2 read-only
        columns<bool, bool, int, bool>({"labels", "folderWritable", "file", "full"});
        for (const bool labels : {true, false})
            for (const auto& [name, folder, file, full] : {std::tuple{"read-only folder, writable file", false, 1, false},
                                                           {"read-only folder, read-only file", false, 2, false},
                                                           {"read-only folder, no file", false, 0, false}, {"read-only file", true, 2, false},
                                                           {"full disk", true, 1, true}})
                QTest::addRow("%s, %s", labels ? "labels.dat" : "program", name) << labels << folder << file << full;
    }
    void readOnlyPlaces()
    {
        AS_ORDINARY_USER();
        const bool labels = fetch<bool>("labels"), folderWritable = fetch<bool>("folderWritable");
        const int file = fetch<int>("file");
        const bool saved = file == 1 && !fetch<bool>("full");
        const QString name = labels ? QStringLiteral("labels.dat") : QStringLiteral("prog.txt");
        const QString path = QDir::current().filePath(name), dir = QDir::currentPath();
        const QByteArray old("old\r\n");
        if (file)
            writeFile(path, old);
        QVERIFY(file < 2 || QFile::setPermissions(path, QFileDevice::ReadOwner));
        const auto owner = QFileDevice::ReadOwner | QFileDevice::ExeOwner;
        QVERIFY(folderWritable || QFile::setPermissions(dir, owner));
        const auto restore = qScopeGuard([&] { QFile::setPermissions(dir, owner | QFileDevice::WriteOwner); });
        const LabelTable table;
        const std::vector<QByteArray> rows{"10000000-1"};
        std::optional<FileSizeLimit> full;
        if (fetch<bool>("full"))
            full.emplace(8);  // the last buffered write falls short
        const QString error = labels ? LabelFile::save(path, table) : ProgramFile::write(path, rows);
        full.reset();
        QVERIFY2(saved ? error.isEmpty() : error.contains(name), qPrintable(error));
        QCOMPARE(readFile(path), saved ? (labels ? table.image() : ProgramFile::serialize(rows)) : file ? old : "<missing>");
        QCOMPARE(QDir().entryList(QDir::Files), file ? QStringList{name} : QStringList{});
    }
    // Files that cannot be read say so naming the file, to either reader;
    // nothing is saved below a file.
    void programFileFailures()
    {
        QVERIFY(QDir().mkdir(QStringLiteral("folder.txt")));
        QFile huge(QStringLiteral("huge.txt"));
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(ProgramFile::MaxFileSize + 1));
        huge.close();
        for (const auto& [name, reason] : {std::pair{"gone.txt", "does not exist"}, {"folder.txt", "folder"}, {"huge.txt", "32 MB"}}) {
            const auto read = ProgramFile::read(QString::fromLatin1(name));
            QVERIFY(!read.ok() && read.error.contains(QLatin1String(name)) && read.error.contains(QLatin1String(reason)));
            const StrictProgram::Result strict = StrictProgram::read(QString::fromLatin1(name));
            QVERIFY(strict.line == 0 && strict.message(QStringLiteral("x")) == strict.reason && strict.reason.contains(QLatin1String(reason)));
        }
        QVERIFY(!ProgramFile::write(QStringLiteral("huge.txt/prog.txt"), Rows{"1"}).isEmpty());
    }

    // Two readers, alike from a file and from text. The command line's and the
    // daemon's: the rows as written, or the first line at fault and why (as
    // FILE:LINE: REASON, the command line's rows). The
    // window's ("loose", {} where a row is not for it): lines end at LF or
    // CR LF; a line of more than 24 characters is cut into rows of 24; the last
    // line needs no line end; bytes are kept as they are; it saves CR LF.
    void programFiles_data()
    {
        columns<QByteArray, Rows, int, QString, Rows>({"content", "rows", "line", "why", "loose"});
        const Rows two{"10000000-0", "01000000-0042", "00000001-9999"};
        const auto row = [](const char* name, const QByteArray& content, int line, const char* why, const Rows& rows = {},
                            const Rows& loose = {}) { QTest::newRow(name) << content << rows << line << QString::fromUtf8(why) << loose; };
        row("CR LF", "10000000-0\r\n01000000-0042\r\n00000001-9999\r\n", 0, "", two, two);
        row("byte-order mark, LF, no last line end", "\xEF\xBB\xBF" "10000000-0\n01000000-0042\n00000001-9999", 0, "", two,
            {"\xEF\xBB\xBF" "10000000-0", "01000000-0042", "00000001-9999"});
        row("empty lines at the end", "10000000-0\n01000000-0042\r\n00000001-9999\n\r\n\n", 0, "", two);
        row("short", "000000", 1, "\"000000\" is not a row: a row is eight relays 0 or 1, \"-\" and a duration of 0 to 9999 ticks");
        row("x for a relay", "1x000000-1", 1, "\"1x000000-1\": relay 2 is \"x\", not 0 or 1");
        row("words", "OFFOFFOF-5", 1, "\"OFFOFFOF-5\": relay 1 is \"O\", not 0 or 1");
        row("escape", "10000000-1\n1000\x1b" "000-5", 2, "\"1000\\x1b000-5\": relay 5 is \"\\x1b\"");
        row("byte-order mark later", "10000000-1\n\xEF\xBB\xBF" "10000000-1", 2, "relay 1 is \"\\xef\"");
        row("nine relays", "100000001-5", 1, "not followed by \"-\" and a duration");
        row("two dashes", "10000000--5", 1, "the duration \"-5\" is not a number of 0 to 9999 ticks");
        row("five digits", "01000000-99999\n", 1, "the duration \"99999\"");
        row("no duration", "10000000-1\r\n10000000-\r\n", 2, "the duration \"\"");
        row("trailing space", "10000000-2 \r\n", 1, "the duration \"2 \"");
        row("1 MB line", QByteArray(1 << 20, '1'), 1, "the line is longer than 64 bytes");
        row("one CR", "\r", 1, "a CR (carriage return) not followed by LF", {}, {"\r"});
        row("CR within", "10000000-1\r\n10000000-1\r10000000-1", 2, "a CR", {}, {"10000000-1", "10000000-1\r10000000-1"});
        row("empty", "", 1, "no rows", {}, {""});
        row("empty lines only", "\xEF\xBB\xBF\r\n\n", 1, "no rows");
        row("empty line between rows", "10000000-1\r\n\r\n\n10000000-1\r\n", 2, "an empty line before a row");
        row("30 characters", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123\r\n", 1, "relay 1 is \"A\"", {}, {"ABCDEFGHIJKLMNOPQRSTUVWX", "YZ0123"});
        row("24 characters", "ABCDEFGHIJKLMNOPQRSTUVWX\r\n1\r\n", 1, "relay 1 is \"A\"", {}, {"ABCDEFGHIJKLMNOPQRSTUVWX", "", "1"});
        row("several megabytes", QByteArray("10100000-15\r\n").repeated(300000), 0, "", Rows(300000, "10100000-15"),
            Rows(300000, "10100000-15"));
        row("NUL and binary", QByteArray("1\0\0\x01\xff\xe9\x80-7\r\n\xfe\n", 13), 1, "relay 2", {},
            {QByteArray("1\0\0\x01\xff\xe9\x80-7", 9), QByteArray("\xfe")});
    }
    void programFiles()
    {
        const QByteArray content = fetch<QByteArray>("content");
        const Rows loose = fetch<Rows>("loose");
        writeFile(QStringLiteral("in.txt"), content);
        const StrictProgram::Result read = StrictProgram::read(QStringLiteral("in.txt")), parsed = StrictProgram::parse(content);
        QCOMPARE(read.rows, fetch<Rows>("rows"));
        QVERIFY(std::tie(read.rows, read.line, read.reason) == std::tie(parsed.rows, parsed.line, parsed.reason));
        QVERIFY2(read.line == fetch<int>("line") && read.reason.contains(fetch<QString>("why")) && read.ok() == !read.line, qPrintable(read.reason));
        if (loose.empty())
            return;
        const auto window = ProgramFile::read(QStringLiteral("in.txt"));
        QVERIFY2(window.ok(), qPrintable(window.error));
        QCOMPARE(*window.value, loose);
        QVERIFY(ProgramFile::write(QStringLiteral("out.txt"), loose).isEmpty());
        QCOMPARE(readFile(QStringLiteral("out.txt")), QByteArrayList(loose.begin(), loose.end()).join("\r\n") + "\r\n");
    }

    // Expiries that pass while a handler blocks are counted as missed and
    // not delivered; a new interval takes over at once, dropping what the
    // old one had queued. Checked only with bounds that a slow machine keeps.
    void tickTimer()
    {
        TickTimer timer;
        int ticks = 0;
        quint64 missedAtThird = 0;
        QObject::connect(&timer, &TickTimer::timeout, [&] {
            if (++ticks == 2)
                QThread::msleep(40);  // a handler that blocks for 40 ticks
            if (ticks == 3)  // the one delivery for the wake-up after the block
                missedAtThird = timer.missedTicks();
        });
        timer.setInterval(1);
        timer.setEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(ticks >= 3, 5000);
        QVERIFY2(missedAtThird >= 35, qPrintable(QString::number(missedAtThird)));

        timer.setInterval(300);
        const int before = ticks;
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(ticks > before, 5000);
        QVERIFY(clock.elapsed() >= 290);  // nothing of the 1 ms period was left queued
        timer.setEnabled(false);
        const int stopped = ticks;
        QTest::qWait(350);
        QCOMPARE(ticks, stopped);
    }

    // boards.conf: a good file read into data, and each mistake refusing the
    // whole file as FILE:LINE: REASON (the line is the one to mend).
    void boardsConf_data()
    {
        columns<QByteArray, QString>({"content", "error"});
        const QByteArray head = "; pumps\n[board pump-house]\nserial = A10KX3F2\nrelay.1 = pump\nrelay.7 = fwd\nrelay.8 = rev\n";
        auto row = [&](const char* name, const QByteArray& tail, const QString& error) { QTest::newRow(name) << head + tail << (error.isEmpty() ? error : "b.conf:" + error); };
        row("good", "interlock = fwd rev, 3 4 5\ndead_time_ms = 200\ninvert = yes\npulse_ms.1 = 2000\non_start = restore\n" "# clones\n[board bench]\nport = 1-1.2\n[board bench-2]\nserial = A10KX3F2\nport = 1-1.3\n", "");
        row("unknown key", "colour = red\n", "7: unknown key \"colour\"");
        row("relay 9", "relay.9 = heater\n", "7: relay.9: a relay is 1 to 8");
        row("relay name twice", "relay.2 = pump\n", "7: relay name pump is used twice");
        row("relay named all", "relay.2 = all\n", "7: bad relay name \"all\": 1-32 of a-z, 0-9, _ and -, not all digits, not \"all\"");
        row("key twice", "relay.1 = tap\n", "7: relay.1 is given twice");
        row("board name twice", "[board pump-house]\nport = 1-4\n", "7: board name pump-house is used twice");
        row("one board twice", "[board other]\nserial = A10KX3F2\n", "7: board other is board pump-house again (line 2)");
        row("neither serial nor port", "[board empty]\nrelay.1 = x\n", "7: board empty has neither serial nor port");
        row("digits only", "[board 42]\nserial = B\n", "7: bad board name \"42\": 1-32 of a-z, 0-9, _ and -, not all digits");
        row("capitals", "[board Pump]\nserial = B\n", "7: bad board name \"Pump\": 1-32 of a-z, 0-9, _ and -, not all digits");
        row("33 characters", "[board " + QByteArray(33, 'a') + "]\nserial = B\n", "7: bad board name \"" + QString(33, 'a') + "\": 1-32 of a-z, 0-9, _ and -, not all digits");
        row("other section", "[boards]\n", "7: unknown section [boards]; a section is [board NAME]");
        QTest::newRow("key before a section") << QByteArray("serial = x\n") + head << "b.conf:1: a key outside [board NAME]";
        row("no equals sign", "relay.2 valve\n", "7: expected [section] or key = value");
        row("bad port", "port = usb1\n", "7: a port is a bus and its port path, e.g. 1-1.2");
        row("empty serial", "[board b]\nserial =\n", "8: the serial is empty");
        row("dead time", "dead_time_ms = 10001\n", "7: dead_time_ms must be 0 to 10000");
        row("invert", "invert = maybe\n", "7: invert must be yes or no");
        row("on_start", "on_start = on\n", "7: on_start must be keep, off or restore");
        row("pulse of a day and more", "pulse_ms.2 = 86400001\n", "7: pulse_ms.2 must be 1 to 86400000 milliseconds");
        row("group of one", "interlock = fwd\n", "7: an interlock group needs two relays or more: \"fwd\"");
        row("relay in two groups", "interlock = 7 8, 8 1\n", "7: relay 8 is in two interlock groups");
        row("relay twice in a group", "interlock = fwd 7\n", "7: the interlock group \"fwd 7\" names relay 7 twice");
        row("number twice in a group", "interlock = 1  1\n", "7: the interlock group \"1 1\" names relay 1 twice");
        for (const char* key : {"relay.01", "relay.+1", "relay. 1", "relay.1.0"})
            row(key, key + QByteArray(" = tap\n"), QString("7: %1: a relay is written as one digit, relay.1 to relay.8").arg(key));
        row("pulse_ms.01", "pulse_ms.01 = 5\n", "7: pulse_ms.01: a relay is written as one digit, pulse_ms.1 to pulse_ms.8");
        row("unknown relay in a group", "interlock = fwd heater\n", "7: board pump-house has no relay \"heater\"");
    }
    void boardsConf()
    {
        const QByteArray content = fetch<QByteArray>("content");
        const QString error = fetch<QString>("error");
        const BoardsConf conf = BoardsConf::parse(QStringLiteral("b.conf"), content);
        QCOMPARE(conf.error, error);
        QCOMPARE(conf.boards.size(), error.isEmpty() ? 3 : 0);
        if (!error.isEmpty())
            return;
        const NamedBoard& pump = conf.boards[0];
        QCOMPARE(std::tuple(pump.name, pump.rules, pump.pulseMs[0], pump.onStart == NamedBoard::OnStart::Restore),
                 std::tuple(QStringLiteral("pump-house"), BoardRules{{{7, 8}, {3, 4, 5}}, 200, true}, 2000, true));
        QCOMPARE(QList<int>({pump.relay("pump"), pump.relay("8"), pump.relay("valve"), pump.relay("9")}), QList<int>({1, 8, 0, 0}));
        // A device is the one section that matches it; one that two match is refused (naming both,
        // and not opened, the command line's rows; and boards by name).
        const DeviceInfo clone{"A10KX3F2", {}, {}, 1, 2, "1-1.3"}, other{"A10KX3F2", {}, {}, 1, 3, "1-1.4"}, bench{"Z", {}, {}, 1, 5, "1-1.2"};
        QCOMPARE(QStringList({conf.board(other)->name, conf.board(bench)->name, conf.refusal(other), conf.refusal(bench)}),
                 QStringList({"pump-house", "bench", "", ""}));
        QVERIFY(conf.board(clone) == nullptr && conf.refusal(clone).startsWith("b.conf: board A10KX3F2 (port 1-1.3) is matched by"));
    }

    // The default boards.conf is absent only when its name does not exist in
    // a folder that may be searched; anything else refuses it, saying why (a
    // link to nothing and a folder that cannot be searched: each front end's
    // rows).
    void boardsConfAbsent_data()
    {
        // why: empty: absent
        columns<QString, QString>({"path", "why"});
        QTest::newRow("no file") << "boards.conf" << "";
        QTest::newRow("no folder") << "gone/boards.conf" << "";
        QTest::newRow("folder a dangling link") << "void/boards.conf" << "void is not a folder that may be searched";
        QTest::newRow("a file for a folder") << "plain/boards.conf" << "Not a directory";
        QTest::newRow("loop") << "loop/boards.conf" << "Too many levels of symbolic links";
        QTest::newRow("file not readable") << "shut/boards.conf" << "cannot read";
    }
    void boardsConfAbsent()
    {
        const QString path = fetch<QString>("path"), why = fetch<QString>("why");
        if (path.startsWith("shut"))
            AS_ORDINARY_USER();
        QVERIFY(QDir().mkdir("shut"));
        writeFile("plain", ""), writeFile("shut/boards.conf", "");
        QVERIFY(QFile::link("missing", "void") && QFile::link("loop", "loop") && QFile::setPermissions("shut/boards.conf", {}));
        const BoardsConf conf = BoardsConf::load(path, false), named = BoardsConf::load(path, true);
        QVERIFY2(why.isEmpty() ? conf.ok() && conf.file.isEmpty() : conf.error.startsWith("cannot read " + path) && conf.error.contains(why), qPrintable(conf.error));
        QVERIFY(!named.ok() && named.error.contains(path) && conf.boards.isEmpty());
    }

    // A pattern is eight characters 0 or 1, relay 1 first; a board changes
    // only the named relays, with one write; a player checks the tick and
    // every row before it writes anything. (Playing, and boards that go away,
    // are run through the real libftdi by the command-line tests.) A program
    // is saved with ".txt" added unless the name ends with it, in any case.
    void relaysPlayerAndSaveName()
    {
        for (const auto& [chosen, saved] : {std::pair{"/d/PROG.TXT", "/d/PROG.TXT"}, {"/d/prog.Txt", "/d/prog.Txt"},
                                            {"/d/PROG.TXT.bak", "/d/PROG.TXT.bak.txt"}})
            QCOMPARE(ProgramFile::savePath(chosen), QString(saved));
        QCOMPARE(RelayPattern::toText(0x05), QByteArray("10100000"));
        QCOMPARE(RelayPattern::fromText("10100000"), std::optional<std::uint8_t>(0x05));
        for (const char* bad : {"1010", "10201000", "101000001"})
            QVERIFY(!RelayPattern::fromText(bad));
        RuledBoard b(0x81);
        BoardTimeline timeline(b.link, 0);
        QCOMPARE(timeline.set(0x06, 0x02), QString());
        BoardPlayer player(timeline);
        QCOMPARE(player.play({"10000000-1", "10000"}, 1, false),
                 QStringLiteral("Range error in program row 2 (\"10000\"): it has no character 8; the row holds 5 character(s)."));
        QVERIFY(player.play({"10000000-1"}, 0, false).contains(QLatin1String("1 to 60000")));
        QCOMPARE(b.log, QStringList{"w83"});
    }

    // The board's timeline on a fake clock: every write with its time in ms
    // (a write's end counts as the next whole ms).
    // Steps "T OP ARGS": set PATTERN (every relay), on/off RELAY, pulse or
    // cycle RELAY|all MS, stop (pending makes dropped), finish (the end of a
    // command). Relays 7 8 and 3 4 5 are interlocked, dead time 30 ms.
    void timeline_data()
    {
        columns<QString, QString>({"steps", "writes"});  // writes: "T:byte ..."; a refused step adds "T:refused"
        QTest::newRow("change-over waits the dead time") << "0 set 40\n10 set 80" << "0:40 10:00 41:80";
        QTest::newRow("relay 2 beside the change-over") << "0 set 41\n10 set 82" << "0:41 10:02 41:82";
        QTest::newRow("on 5 of three") << "0 on 3\n10 on 5" << "0:04 10:00 41:10";
        QTest::newRow("an all-off row between keeps the dead time") << "0 set 40\n100 set 00\n101 set 80" << "0:40 100:00 101:00 131:80";
        QTest::newRow("dead time from the break, whatever came between") << "0 set 40\n5 off 7\n20 on 8" << "0:40 5:00 20:00 36:80";
        QTest::newRow("a request during a pending make never makes earlier") << "0 set 40\n10 set 80\n20 on 8" << "0:40 10:00 20:00 41:80";
        QTest::newRow("a stop during the wait never makes") << "0 set 40\n10 set 80\n20 stop" << "0:40 10:00";
        QTest::newRow("two of a group refused") << "0 set c0" << "0:refused";
        QTest::newRow("a refused request keeps a pending edge") << "0 pulse 1 100\n10 set c0" << "0:01 10:refused 101:00";
        QTest::newRow("a cycle checked whole") << "0 set 41\n10 cycle all 50" << "0:41 10:refused";
        QTest::newRow("a pulse times from its make") << "0 set 40\n10 pulse 8 50" << "0:40 10:00 41:80 92:00";
        QTest::newRow("a stop before the pulse's make") << "0 set 40\n10 pulse 8 50\n20 finish" << "0:40 10:00";
        QTest::newRow("finish performs the second edges") << "0 pulse 1 100\n20 finish" << "0:01 20:00";
        QTest::newRow("a cycle's make breaks the group, and a finish keeps it") << "0 set 80\n10 cycle 7 50\n70 finish" << "0:80 10:80 61:00 92:40";
        QTest::newRow("a request on the cycled relay, then a stop: no make") << "0 set 80\n10 cycle 7 50\n70 on 7\n75 stop" << "0:80 10:80 61:00 70:00";
        QTest::newRow("a later request supersedes the edge") << "0 pulse 1 100\n50 on 1" << "0:01 50:01";
    }
    void timeline()
    {
        RuledBoard b(0x00);
        qint64 t = 0;
        QStringList log;  // the requests write even what changes nothing
        b.library.setWriteObserver([&](int, std::uint8_t byte) { log << QStringLiteral("%1:%2").arg(t).arg(byte, 2, 16, QLatin1Char('0')); });
        BoardTimeline timeline(b.link, 0);
        timeline.setClock([&] { return t; });
        t = -100;  // the board's history starts here, all off
        QVERIFY(timeline.set(0xFF, 0).isEmpty());
        t = 0, log.clear();
        for (const QString& step : fetch<QString>("steps").split('\n') + QStringList{"1000"}) {
            const QStringList w = step.split(' ');
            for (; t < w[0].toInt(); ++t)
                timeline.service();
            const auto relay = [&] { return RelayPattern::bit(w[2].toInt()); };
            std::array<int, 8> ms{};
            for (int r = 1; w.size() > 3 && r <= 8; ++r)
                ms[std::size_t(r - 1)] = w[2] == "all" || w[2].toInt() == r ? w[3].toInt() : 0;
            const QString error = w.size() < 2         ? QString()
                                  : w[1] == "set"      ? timeline.set(0xFF, std::uint8_t(w[2].toInt(nullptr, 16)))
                                  : w[1] == "on"       ? timeline.set(relay(), 0xFF)
                                  : w[1] == "off"      ? timeline.set(relay(), 0)
                                  : w[1] == "pulse"    ? timeline.pulse(false, ms)
                                  : w[1] == "cycle"    ? timeline.pulse(true, ms)
                                  : w[1] == "stop"     ? (timeline.dropMakes(), QString())
                                                       : (timeline.finish(), QString());
            if (error.startsWith("refused"))
                log << QStringLiteral("%1:refused").arg(t);
        }
        QTEST(log.join(' '), "writes");
        QVERIFY(timeline.idle());
    }

    // One switch at a time: a change waits for the board's lock and fails,
    // saying why, when another holder keeps it. Any user takes the lock,
    // whoever made the file and whatever its mode; a missing one is made
    // 0666 under any umask; only a regular file is taken for one.
    void boardLock_data()
    {
        // planted: at the lock file's path: "" none, "0444 of uid 64001", "fifo", "link"
        // refusal: the start of the error; empty when the lock is taken
        columns<QString, QString>({"planted", "refusal"});
        QTest::newRow("none") << "" << "";
        QTest::newRow("another user's, read-only") << "0444 of uid 64001" << "";
        QTest::newRow("another user's, made by the lock") << "taken by uid 64001" << "";
        QTest::newRow("FIFO") << "fifo" << "cannot use the lock file";
        QTest::newRow("symbolic link") << "link" << "cannot open the lock file";
    }
    void boardLock()
    {
        const QString planted = fetch<QString>("planted"), refusal = fetch<QString>("refusal");
        RuledBoard b(0x00);
        const QString path = BoardLock::path(QDir::currentPath(), "1-1");
        const QByteArray name = QFile::encodeName(path);
        // Runs `take` in a child as a user of its own, as another login would; true when it exited 0.
        const auto asUser = [](uid_t uid, const std::function<bool()>& take) {
            const pid_t child = ::fork();
            if (child == 0)
                _exit(::setgroups(0, nullptr) == 0 && ::setgid(uid) == 0 && ::setuid(uid) == 0 && take() ? 0 : 1);
            int status = 0;
            return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        };
        if (planted != "" && ::getuid() != 0)
            QSKIP("needs root to act as other users");
        if (planted != "")  // a sticky folder every user may write, as /run/lock is
            QVERIFY(::chmod(QFile::encodeName(QDir::currentPath()), 01777) == 0);
        if (planted == "0444 of uid 64001")
            QVERIFY(asUser(64001, [&] { ::umask(0222); const int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL, 0666); return fd >= 0; }));
        if (planted == "taken by uid 64001")
            QVERIFY(asUser(64001, [&] { ::umask(0077); return BoardLock(QDir::currentPath(), "1-1", 0).held(); }));
        if (planted == "fifo")
            QVERIFY(::mkfifo(name, 0666) == 0);
        if (planted == "link")
            QVERIFY(QFile::link("elsewhere", path));
        if (planted.contains("uid"))  // another user takes it too
            QVERIFY(asUser(64002, [] { return BoardLock(QDir::currentPath(), "1-1", 0).held(); }));
        if (planted == "") {  // another process holds it, then lets go and removes it
            QFile other(path);
            QVERIFY(other.open(QIODevice::ReadWrite) && ::flock(other.handle(), LOCK_EX) == 0);
            const auto busy = b.link.lock(0, 50);
            QVERIFY2(!busy->held() && busy->error().startsWith("the board at port 1-1 is busy"), qPrintable(busy->error()));
            other.remove();
        }
        const bool taken = refusal.isEmpty();
        ::umask(0077);
        const QString error = BoardTimeline(b.link, 0).set(0x01, 0x01);
        ::umask(0022);
        QCOMPARE(b.log, taken ? QStringList{"w01"} : QStringList{});
        QVERIFY2(taken ? error.isEmpty() : error.startsWith(refusal), qPrintable(error));
        if (planted == "" || planted.startsWith("taken"))  // made by a lock: 0666 whatever the umask
            QCOMPARE(QFileInfo(path).permissions() & 0x7777, QFile::Permissions(0x6666));
    }

    // Played without a window, steps keep to the clock at 1 ms a tick: after
    // a late wake-up every step whose time passed is loaded, in order and
    // each once, and play goes on in the step the clock is in; a pause moves
    // the boundaries ahead by its length; repeat keeps one schedule.
    void headlessPlay_data()
    {
        // events: at ms after the start: w wake-up, p pause, r resume
        // played: after the start and each event: rows loaded @ wake-up set (- none)
        columns<bool, QString, QString>({"repeat", "events", "played"});
        // Rows A of 3 ticks, B of 0 (as 1), C of 2: steps at 0, 3 and 4 ms, the end at 6.
        QTest::newRow("on time, one early wake-up") << false << "w2 w3 w4 w6" << "A@3 @3 B@4 C@6 @- 0 of 3 late, end 0";
        QTest::newRow("late, catches up") << false << "w5 w6" << "A@3 BC@6 @- 2 of 3 late, end 0";
        QTest::newRow("late past the end") << false << "w9" << "A@3 BC@- 2 of 3 late, end 3";
        QTest::newRow("pause shifts") << false << "w3 p3 w8 r10 w11 w13" << "A@3 B@4 @- @- @11 C@13 @- 0 of 3 late, end 0";
        QTest::newRow("repeat, late") << true << "w13" << "A@3 BCABCA@15 6 of 7 late, end -1";
    }
    void headlessPlay()
    {
        using std::chrono::milliseconds;
        ProgramList list;
        list.replaceAll({"10000000-3", "01000000-0", "00100000-2"});
        QString played;
        ProgramRunner* r = nullptr;
        ProgramRunner runner(list, [&](int row) { list.setCurrent(row), played += QChar(u'A' + row), r->setCount(*ProgramRow::duration(list.text(row))); });
        const milliseconds origin(1000);
        FakeClock clock;  // the start at 1 s
        TickTimer timer;  // wakes only when the event loop runs, which it does not here
        r = &runner, clock.at = origin;
        runner.setTimer(&timer), runner.setHeadless(&clock), runner.setRepeat(fetch<bool>("repeat"));
        const auto wake = [&] { played += timer.isEnabled() ? QString("@%1 ").arg((timer.wakeTime() - origin) / milliseconds(1)) : "@- "; };
        runner.start(), wake();
        for (const QString& event : fetch<QString>("events").split(u' ')) {
            clock.at = origin + milliseconds(event.mid(1).toInt());
            event[0] == u'w' ? runner.tick() : event[0] == u'p' ? runner.pause() : runner.resume();
            wake();
        }
        const HeadlessSchedule::Figures& f = runner.figures();
        QCOMPARE(played + QString("%1 of %2 late, end %3").arg(f.late).arg(f.steps).arg(f.end.count() < 0 ? -1 : f.end / milliseconds(1)),
                 fetch<QString>("played"));
    }
};

QTEST_GUILESS_MAIN(EngineTest)
#include "tst_engine.moc"
