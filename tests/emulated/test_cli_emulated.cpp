// kestrune-cli as a separate process against emulated boards: the unmodified
// libftdi1 and libusb in the child talk to this process's umockdev test bed.
#include "engine/device/board_lock.h"
#include "fixture.h"
#include "safety_monitor.h"

using namespace fixture;

class CliEmulatedTest : public QObject {
    Q_OBJECT
    safety::MonitoredBus bus_;

    // With KESTRUNE_TEST_SERVICE set (ctest cli_emulated_service) kestruned
    // holds every board, by rules, and the CLI goes through its socket.
    static bool throughService() { return qEnvironmentVariableIsSet("KESTRUNE_TEST_SERVICE"); }
    static void startService(QProcess& service, const QTemporaryDir& dir, const QString& rules)
    {
        writeFile(dir.filePath("kestruned.conf"), "[boards]\nserials = *\n");
        qputenv("KESTRUNE_SOCKET", dir.filePath("control").toUtf8()), qputenv("KESTRUNE_RUNTIME_DIR", dir.path().toUtf8());
        service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        service.start(KESTRUNED, {"--config", dir.filePath("kestruned.conf"), "--boards", rules});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir.filePath("control")), 10000);
    }

private slots:
    void init() { bus_.start(); }
    void cleanup() { bus_.finish(); }

    // Each command line runs in turn (the earlier ones must succeed); the
    // last one's exit status, output and messages are checked, and the pins
    // of the board added first. FILE names a file holding program (none
    // when program is empty). At the first line of output, the board added
    // first is pulled out ("pull") or the process gets a signal ("int",
    // "term", "hup"; "term@PINS": once the pins of the board added first
    // are PINS), or is stopped for 1.5 s ("stop": it catches up, each
    // step written once, in order); a death by signal n reads as status
    // 128 + n. A play that printed steps ends with a summary. "held": a
    // program that cannot be seen holds the board added first; "hold": a
    // play of FILE on it holds it (PID in err is its pid); "hold+int": and
    // the last command gets the signal once it says it waits. "nodes": the
    // board added first cannot be opened by this user. "plug": the serial
    // numbers read slowly, and a board KC-C is plugged in while the last
    // command looks at the bus; it and board 2 must not be claimed.
    // Commands joined by "&" run at once (and must all succeed).
    // "lock@MS": MS ms into the last command another process waits for the
    // board's lock and holds it for a second, in which nothing is written. A
    // fresh board reads 11111111 until it is first opened. CONF names a file
    // holding conf; "etc-link", "etc-shut": the last command reads it as
    // /etc/kestrune/boards.conf (see withEtcBoardsConf), the monitor as
    // written. The last command starts
    // the pulses ("7:50": relay 7 for 50 ms) and cycles ("c1:300"); the
    // safety monitor checks them and the history of every board.
    void commands_data()
    {
        // serials: boards in the order plugged in
        // commands: separated by ";"
        // out: a pattern for the whole output
        // err: a pattern found in the messages
        columns<QStringList, QString, QByteArray, QString, int, QString, QString, QByteArray, QByteArray, QString>({"serials", "commands", "program", "during", "status", "out", "err", "pins", "conf", "pulses"});

        const QStringList one{"KC-A"}, two{"KC-A", "KC-B"};
        const QByteArray program = "10000000-2\r\n01000000-3\r\n";
        const QString played = "1\t10000000\t2\n2\t01000000\t3\n";
        auto row = [](const char* name, QStringList serials, QString commands, int status, QString out, QString err, QByteArray pins,
                      QByteArray program = {}, QString during = {}, QByteArray conf = {}, QString pulses = {}) {
            QTest::newRow(name) << serials << commands << program << during << status << out << err << pins << conf << pulses;
        };
        row("list none", {}, "list", 0, "", "", "");
        row("on off keep the others", one, "set 10100000; on 2 8; off 1", 0, "", "", "01100001");
        row("by number", two, "on 1 --board 2", 0, "", "", "10000000");
        row("by port", two, "list; on 4 --port 1-1", 0, "", "", "00010000");
        row("several, none chosen", two, "on 1", 1, "", "^kestrune-cli: 2 boards are attached; choose one:\n  1\tKC-B\t.*\n  2\tKC-A\t", "11111111");
        row("shared serial", {"KC-A", "KC-A"}, "on 1 --serial KC-A", 1, "", "2 boards have serial number KC-A", "11111111");
        row("no such number", one, "on 1 --board 2", 1, "", "there is no board 2", "11111111");
        row("held elsewhere", one, "on 1", 1, "", "^kestrune-cli: board KC-A \\(port 1-1\\) is claimed by another "
            "program that this user cannot see; it may be a service\n$", "11111111", {}, "held");
        const QString waits = "^kestrune-cli: the board at port 1-1 is being switched by kestrune-cli \\(pid PID\\): waiting up to 5 s\n";
        row("held by a play", one, "on 8", 1, "", waits + "kestrune-cli: the board at port 1-1 is busy[^\n]*\n$", "10000000", "10000000-9999\n", "hold");
        row("SIGINT while it waits for the lock", one, "on 8", 130, "", waits + "$", "10000000", "10000000-9999\n", "hold+int");
        row("get json in a hot-plug race", two, "set --serial KC-A 10000001; get --json --serial KC-A", 0, "\\{\"board\":2,\"name\":null,\"names\":\\[null(,null){7}\\],\"pattern\":\"10000001\",\"relays\":\\[true(,false){6},true\\],\"serial\":\"KC-A\"\\}\\n", "", "10000001", {}, "plug");
        row("list in a hot-plug", two, "list", 0, "1\tKC-B\t[^\n]*\n2\tKC-A\t[^\n]*\n", "", "11111111", {}, "plug");
        const QStringList escape{"X\x1b[2J\t\\"}, local{"Ürün-Ω一", "KC-B"};
        const QString escaped = "X\\\\x1b\\[2J\\\\t\\\\\\\\";
        row("list json, control characters", escape, "list --json", 0, "\\[\\{\"address\":\\d+,\"board\":1,\"bus\":\\d+," "\"description\":\"FT232R USB UART\",\"held_by\":null,\"manufacturer\":\"FTDI\",\"name\":null,\"port\":\"1-1\",\"serial\":\"X\\\\u001b\\[2J\\\\t\\\\\\\\\"\\}\\]\\n", "", "11111111");
        row("control characters in a message", escape, "on 1 --serial KC-Z", 1, "", "^kestrune-cli: no board has serial number KC-Z; 1 board is attached:\n  1\t" + escaped + "\tFT232R USB UART\t1-1\n$", "11111111");
        row("serial as printed", escape, "on 2 --serial X\\x1b[2J\\t\\\\", 0, "", "", "01000000");
        row("non-ASCII serial", local, "on 3 --serial Ürün-Ω一; list", 0, "1\tKC-B\t[^\n]*\n2\tÜrün-Ω一\t[^\n]*\n", "", "00100000");
        row("list json, a node this user cannot open", local, "list --json", 0, "\\[\\{[^}]+\\},\\{\"address\":\\d+,\"board\":2,\"bus\":1,\"description\":\"FT232R USB UART\",\"held_by\":null,\"manufacturer\":\"FTDI\",\"name\":null,\"port\":\"1-1\",\"serial\":\"Ürün-Ω一\"\\}\\]\n", "", "11111111", {}, "nodes");
        row("non-ASCII serial, no access", local, "on 3 --serial Ürün-Ω一", 1, "", "^kestrune-cli: board Ürün-Ω一 \\(port 1-1\\) cannot be opened: ", "11111111", {}, "nodes");
        row("port in use", two, "on --serial KC-B 1; on --serial KC-A 1", 1, "", "^kestrune-cli: /dev/ttyUSB0 is locked by \\S+ \\(pid \\d+\\)\n$", "11111111", {}, "locked");
        // boards.conf (as FILE): boards and relays by name.
        const QByteArray conf = "[board pump-house]\nserial = KC-A\nrelay.1 = pump\nrelay.2 = valve\npulse_ms.1 = 20\n"
                                "pulse_ms.2 = 86400000\n[board bench]\nport = 1-9\n";
        row("by name, relays by name", two, "on --boards FILE --name pump-house pump valve 8; off valve --name pump-house --boards FILE; get --json " "--name pump-house --boards FILE", 0, "\\{\"board\":2,\"name\":\"pump-house\",\"names\":\\[\"pump\",\"valve\"(,null){6}\\],\"pattern\":\"10000001\",.*\n", "", "10000001", conf);
        row("list names", two, "list --boards FILE", 0, "1\tKC-B\t[^\n]*\t1-2\n2\tKC-A\t[^\n]*\t1-1\tpump-house\n", "", "11111111", conf);
        row("no such relay name", one, "on --boards FILE pump heater", 1, "", "^kestrune-cli: board pump-house has no relay named heater\n$", "11111111", conf);
        row("named board absent", one, "on 1 --boards FILE --name bench", 1, "", "^kestrune-cli: board bench is not attached; 1 board is attached:\n  1\tKC-A\t.*\tpump-house\n$", "11111111", conf);
        row("each relay's own pulse_ms", one, "pulse valve --boards FILE pump", 143, "", "", "00000000", conf, "term@01000000", {}, "1:20 2:86400000");
        row("relay names without a file", one, "on pump", 1, "", "^kestrune-cli: board 1 has no name in boards.conf, so no relay named pump\n$", "11111111");
        row("no board", {}, "get", 1, "", "^kestrune-cli: no board is attached\n$", "");
        row("help", {}, "--help", 0, "Usage:\n(.*\n)+", "", "");
        row("version", {}, "--version", 0, "kestrune-cli [0-9]+\\.[0-9]+\\.[0-9]+\n", "", "");
        row("no command", one, "", 2, "", "^kestrune-cli: no command given", "11111111");
        row("unknown command", one, "bogus 1", 2, "", "^kestrune-cli: unknown command 'bogus'", "11111111");
        row("unknown option", one, "get --frob", 2, "", "^kestrune-cli: unknown option 'frob'", "11111111");
        row("short pattern", one, "set 1010", 2, "", "'1010' is not a PATTERN", "11111111");
        row("relay 9", one, "on 1 9", 2, "", "a RELAY is 1 to 8", "11111111");
        row("tick 0", one, "play FILE --tick 0", 2, "", "the tick must be 1 to 60000 ms", "11111111", program);
        row("option of another command", one, "on 1 --json", 2, "", "--json does not go with on", "11111111");
        row("play quietly", one, "play FILE --quiet", 0, "", "", "01000000", program);
        row("play an empty line", one, "play FILE", 1, "", "^kestrune-cli: \\S+/program\\.txt:2: an empty line before a row\n$", "11111111", "10000000-2\r\n\r\n01000000-1\r\n");
        row("pulled out in play", one, "play FILE --repeat", 1, "(1\t10000000\t1\n|2\t01000000\t1\n)+", "^kestrune-cli: board 1 stopped answering", "", "10000000-1\r\n01000000-1\r\n", "pull");
        row("SIGINT in play", one, "play FILE --repeat --off-at-end", 130, "(1\t11000000\t5\n)+", "", "00000000", "11000000-5\r\n", "int");
        row("SIGTERM in play", one, "play FILE --repeat", 143, "1\t01000000\t9999\n", "", "01000000", "01000000-9999\r\n", "term");
        row("pulse, its length", one, "on 3; pulse 1 2 --for 300ms", 0, "", "", "00100000", {}, {}, {}, "1:300 2:300");
        row("SIGKILL in a pulse, the service ends it on time", one, "pulse 1 --for 1s", 137, "", "", "00000000", {}, "kill@10000000", {}, "1:1000");
        for (const auto& [name, signal, status] : {std::tuple{"SIGTERM in a pulse switches off", "term", 143}, {"SIGQUIT in a pulse", "quit", 131}, {"SIGALRM in a pulse", "alrm", 142}})
            row(name, one, "pulse 1 --for 2s", status, "", "", "00000000", {}, signal + QString("@10000000"), {}, "1:2000");
        row("SIGINT in a cycle switches on", one, "set 11100000; cycle 1 2 --for 1m", 130, "", "", "11100000", {}, "int@00100000", {}, "c1:60000 c2:60000");
        row("SIGUSR1 in a cycle", one, "set 11100000; cycle 1 2 --for 1m", 138, "", "", "11100000", {}, "usr1@00100000", {}, "c1:60000 c2:60000");
        row("a pulse's lock taken between its edges", one, "pulse 1 --for 500ms", 0, "", "", "00000000", {}, "lock@450", {}, "1:500");
        row("play, off at end, the lock asked for in play", one, "play --off-at-end FILE", 0, played, "", "00000000", program, "lock@100");
        // Interlocked fwd (7) and rev (8), normal and active-low.
        const QByteArray hoist = "[board hoist]\nserial = KC-A\nrelay.7 = fwd\nrelay.8 = rev\ninterlock = fwd rev\ndead_time_ms = 200\n";
        const QByteArray low = "[board low]\nserial = KC-A\ninvert = yes\nrelay.7 = fwd\nrelay.8 = rev\ninterlock = fwd rev\n";
        row("switch-over: break, dead time, make", one, "on fwd --boards CONF; on rev --boards CONF", 0, "", "", "00000001", {}, {}, hoist);
        row("SIGTERM in the dead time never makes", one, "on fwd --boards CONF; on rev --boards CONF", 143, "", "", "00000000", {}, "term@00000000", hoist);
        row("SIGHUP after a cycle's edge, its make still waiting", one, "on fwd --boards CONF; cycle fwd --for 1ms --boards CONF", 129, "", "", "00000010", {}, "hup@00000000", hoist, "c7:1");
        row("both of a group refused", one, "set 00000011 --boards CONF", 1, "", "refused: relays 7, 8 are interlocked", "", {}, {}, hoist);
        row("a cycle checked whole", one, "set 10000010 --boards CONF; cycle all --for 300ms --boards CONF", 1, "", "interlocked", "", {}, {}, hoist,
            "c1:300 c7:300");
        row("play: a 1-tick row keeps the dead time", one, "play FILE --tick 10 --boards CONF", 0, "(\\d+\t\\d{8}\t\\d+\n)+", "", "00000001",
            "00000010-10\n00000001-1\n00000001-10\n", {}, hoist);
        row("play: a row the rules refuse, before the board is opened", one, "play FILE --boards CONF", 1, "", "^kestrune-cli: \\S+/program\\.txt:2: relays 7, 8 are interlocked: at most one of them may be on\n$", "11111111",
            "00000010-1\n00000011-1\n", {}, hoist);
        row("play: the last row's pending make", one, "play FILE --tick 10 --boards CONF", 0, "1\t00000010\t10\n2\t00000001\t1\n", "", "00000001",
            "00000010-10\n00000001-1\n", {}, hoist);
        row("active-low: on, get", one, "on 1 --boards CONF; get --boards CONF", 0, "10000000\n", "", "01111111", {}, {}, low);
        row("active-low: switch-over", one, "on fwd --boards CONF; on rev --boards CONF", 0, "", "", "11111110", {}, {}, low);
        // One switch at a time per board: 20 processes switching relays of
        // one board at once wait their turns, and every change lands; fwd and
        // rev switched on at once by two processes keep the interlock and its dead time.
        QStringList crowd;
        for (int i = 0; i < 20; ++i)
            crowd << QString("on %1 --serial KC-B").arg(i % 8 + 1);
        const QString race = "on fwd --name hoist --boards CONF & on rev --name hoist --boards CONF";
        row("20 switches at once, then fwd and rev at once, three times", two, crowd.join(" & ") + "; " + QStringList(3, race).join("; ") + "; get --serial KC-B", 0, "11111111\n", "", "", {}, {}, hoist);
        // A device two sections match is served by neither; a boards.conf with
        // a mistake refuses every command, and so does /etc/kestrune's when it
        // cannot be read, as another user too.
        const QByteArray twice = "[board a]\nserial = KC-A\n[board b]\nport = 1-1\n" + hoist.mid(hoist.indexOf("relay.7"));
        const QString matched = "^kestrune-cli: \\S+/boards\\.conf: board KC-A \\(port 1-1\\) is matched by \\[board a\\] \\(line 1\\) and "
                                "\\[board b\\] \\(line 3\\); a device may match one section only\n$";
        row("two sections, one device", one, "set 00000011 --port 1-1 --boards CONF", 1, "", matched, "11111111", {}, {}, twice);
        row("two sections, one device, by name", one, "on 1 --name b --boards CONF", 1, "", matched, "11111111", {}, {}, twice);
        row("relay.01", one, "on 1 --boards CONF", 1, "", "^kestrune-cli: \\S+/boards\\.conf:3: relay\\.01: a relay is written as one digit, relay\\.1 to", "11111111", {}, {}, "[board a]\nserial = KC-A\nrelay.01 = 20\n");
        row("a relay twice in a group", one, "on 1 --boards CONF", 1, "", "boards\\.conf:5: the interlock group \"fwd 7\" names relay 7 twice\n$", "11111111", {}, {}, hoist.left(hoist.indexOf("interlock")) + "interlock = fwd 7\n");
        const QString etcConf = "^kestrune-cli: cannot read /etc/kestrune/boards\\.conf: ";
        row("boards.conf a link to nothing", one, "on 1", 1, "", etcConf + "/etc/kestrune/boards\\.conf is a symbolic link to nothing \\(No such file or directory\\)\n$", "11111111", {}, "etc-link", low);
        row("boards.conf in a folder the user cannot search", one, "on 1", 1, "", etcConf + "Permission denied\n$", "11111111", {}, "etc-shut", low);
        row("pulse for 25h", one, "pulse 1 --for 25h", 2, "", "a DURATION is 1ms to 24h, as 500ms, 2s or 1m, not '25h'", "11111111");
        row("pulse for 2 seconds", one, "pulse 1 --for 2", 2, "", "not '2'", "11111111");
        QByteArray twelve;  // rows 1 to 12 of 25 ticks: the bytes 1 to 12
        QString steps;
        for (int row = 1; row <= 12; ++row) {
            twelve += RelayPattern::toText(std::uint8_t(row)) + "-25\n";
            steps += QString("%1\t%2\t25\n").arg(row).arg(RelayPattern::toText(std::uint8_t(row)));
        }
        row("stopped half-way in play", one, "play FILE --tick 10", 0, steps, "^kestrune-cli: 12 steps, ([1-9]|1[0-2]) written late, largest lateness [0-9.]+ ms, ended [0-9.]+ ms late\n$", "00110000", twelve, "stop");
    }

    void commands()
    {
        const QStringList serials = fetch<QStringList>("serials");
        const QString commands = fetch<QString>("commands"), during = fetch<QString>("during");
        for (int board = 0; board < serials.size(); ++board) {
            const QByteArray serial = serials[board].toUtf8(), tty = "ttyUSB" + QByteArray::number(board);
            const EmulatedFtdiBoard with{serial.constData(), nullptr, nullptr, nullptr, tty.constData()};
            QVERIFY(emulated_ftdi_add_board_with(bus_.get(), &with) == board);
            emulated_ftdi_set_serial_read_ms(bus_.get(), board, during == "plug" ? 300 : 0);
        }
        emulated_ftdi_set_held_elsewhere(bus_.get(), 0, during == "held");
        if (during == "nodes")
            emulated_ftdi_lock_node(bus_.get(), 0);
        // "locked": a UUCP lock file of this (live) process holds the first board's port.
        if (during == "locked" && qgetenv("KESTRUNE_TEST_LOCKS") != "private")
            QSKIP("/run/lock is the machine's: no lock file of a real serial port is written");
        QFile lock(QStringLiteral("/run/lock/LCK..ttyUSB0"));  // removed only once this test has made it
        if (during == "locked" && !(QDir().mkpath("/run/lock") && lock.open(QIODevice::NewOnly | QIODevice::WriteOnly)))
            QSKIP("cannot make a lock file in /run/lock");
        const auto unlock = qScopeGuard([&] { if (during == "locked") lock.remove(); });
        QVERIFY(during != "locked" || lock.write(QByteArray::number(QCoreApplication::applicationPid()).rightJustified(10) + '\n') == 11);
        lock.close();
        const QString pulses = fetch<QString>("pulses");
        QTemporaryDir dir;
        const QString file = dir.filePath("program.txt"), confFile = dir.filePath("boards.conf");
        for (const auto& [path, column] : {std::pair{file, "program"}, std::pair{confFile, "conf"}})
            if (const QByteArray text = fetch<QByteArray>(column); !text.isEmpty())
                writeFile(path, text);
        if (commands.contains("--boards") || during.startsWith("etc"))
            bus_.monitor->useBoards(commands.contains("--boards FILE") ? file : confFile);

        // Through the service: the rows that switch, read, pulse and play, with
        // kestruned holding every board, must end as they do directly.
        QProcess service;
        if (during.startsWith("kill") && !throughService())
            QSKIP("SIGKILL leaves a direct pulse's relay on");
        if (throughService()) {
            const QStringList directOnly{"held", "hold", "hold+int", "plug", "nodes", "locked", "etc-link", "etc-shut"};
            if (directOnly.contains(during) || during.startsWith("lock@") || fetch<int>("status") == 2 || fetch<QByteArray>("pins").count('1') == 8 || serials.isEmpty())
                QSKIP("the direct path only");
            if (QByteArray(QTest::currentDataTag()).startsWith("SIGHUP after a cycle"))
                QSKIP("the service knows when rev went off: the cycle's make does not wait");
            writeFile(dir.filePath("none.conf"), {});
            startService(service, dir, commands.contains("--boards FILE") ? file : commands.contains("--boards CONF") ? confFile : dir.filePath("none.conf"));
        }
        const auto stopService = qScopeGuard([&] { service.terminate(), service.waitForFinished(); });
        QProcess holder;
        if (during.startsWith("hold")) {
            holder.start(KESTRUNE_CLI, {"play", file, "--repeat"});
            QVERIFY(holder.waitForReadyRead(10000));
        }
        const QStringList lines = commands.split(u';');
        const auto argumentsOf = [&](const QString& line) {
            return line.split(u' ', Qt::SkipEmptyParts).replaceInStrings(QRegularExpression("^FILE$"), file).replaceInStrings(QRegularExpression("^CONF$"), confFile);
        };
        QProcess cli;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (lines[i].contains(" & ")) {
                std::vector<std::unique_ptr<QProcess>> together;
                for (const QString& line : lines[i].split(" & "))
                    together.push_back(std::make_unique<QProcess>()), together.back()->start(KESTRUNE_CLI, argumentsOf(line));
                for (auto& other : together)
                    QVERIFY2(other->waitForFinished(20000) && other->exitCode() == 0, other->readAllStandardError().constData());
                continue;
            }
            const bool last = i == lines.size() - 1;
            const EmulatedFtdiBoard late{"KC-C", nullptr, nullptr, nullptr, "ttyUSB9"};
            if (last && during == "plug")
                QCOMPARE(emulated_ftdi_plug_in_later(bus_.get(), &late, 50), int(serials.size()));
            const qint64 started = emulated_ftdi_now_us();
            if (last && during.startsWith("etc") && !withEtcBoardsConf(cli, dir.path(), fetch<QByteArray>("conf"), during.mid(4)))
                QSKIP("no /etc of its own can be given to the command here (it needs root)");
            cli.start(KESTRUNE_CLI, argumentsOf(lines[i]));
            const QString kind = during.section(u'+', -1).section(u'@', 0, 0), when = during.section(u'@', 1);
            static const QHash<QString, int> byName{{"int", SIGINT}, {"term", SIGTERM}, {"hup", SIGHUP}, {"quit", SIGQUIT}, {"usr1", SIGUSR1}, {"alrm", SIGALRM}, {"kill", SIGKILL}};
            const int signal = byName.value(kind);
            qint64 cut = 0;
            if (last && kind == "lock") {
                QTest::qWait(when.toInt());
                const BoardLock held(QStringLiteral("/run/lock"), emulated_ftdi_port(bus_.get(), 0));
                QVERIFY2(held.held(), qPrintable(held.error()));
                const size_t writes = emulated_ftdi_written(bus_.get(), 0, nullptr, 0);
                QThread::msleep(1000);
                QCOMPARE(emulated_ftdi_written(bus_.get(), 0, nullptr, 0), writes);  // its last edge came before it let go
            } else if (last && (during == "pull" || during == "stop" || signal)) {
                cli.setReadChannel(during.startsWith("hold") ? QProcess::StandardError : QProcess::StandardOutput);  // one that waits says so
                if (when.isEmpty())
                    QVERIFY(cli.waitForReadyRead(10000));
                else
                    QTRY_COMPARE_WITH_TIMEOUT(bus_.pins(0), when.toLatin1(), 10000);
                if (during == "stop")
                    ::kill(pid_t(cli.processId()), SIGSTOP), QThread::msleep(1500), ::kill(pid_t(cli.processId()), SIGCONT);
                else if (during == "pull")
                    emulated_ftdi_pull_out(bus_.get(), 0);
                else  // a pulse killed with SIGKILL is the service's to end on time
                    cut = signal == SIGKILL ? 0 : emulated_ftdi_now_us(), ::kill(pid_t(cli.processId()), signal);
            }
            for (const QString& p : pulses.split(u' ', Qt::SkipEmptyParts))
                if (last)
                    bus_.monitor->pulse({0, p.section(u':', 0, 0).remove(u'c').toInt(), p.startsWith(u'c'), started, p.section(u':', 1).toInt(), cut});
            QVERIFY(cli.state() == QProcess::NotRunning || cli.waitForFinished(20000));
            QVERIFY2(last || cli.exitCode() == 0, qPrintable(lines[i]));
        }

        const QString out = fetch<QString>("out");
        QString err = fetch<QString>("err");
        const QByteArray pins = fetch<QByteArray>("pins");
        const QString printed = QString::fromUtf8(cli.readAllStandardOutput());
        const QString said = QString::fromUtf8(cli.readAllStandardError());
        QCOMPARE(cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : 128 + cli.exitCode(), fetch<int>("status"));
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(out)).match(printed).hasMatch(),
                 qPrintable(printed));
        err.replace("PID", QString::number(holder.processId()));
        const QRegularExpression summary("kestrune-cli: \\d+ steps, .* written late, largest lateness .*\n");
        QCOMPARE(summary.match(said).hasMatch(), lines.last().startsWith("play") && !out.isEmpty());
        QVERIFY2(err.isEmpty() ? QString(said).remove(summary).isEmpty() : QRegularExpression(err).match(said).hasMatch(), qPrintable(said));
        if (during == "stop")
            QCOMPARE(bus_.written(0), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
        QVERIFY(said.isEmpty() || said.startsWith("kestrune-cli: "));
        if (!pins.isEmpty())
            QTRY_COMPARE_WITH_TIMEOUT(bus_.pins(0), pins, 5000);
        // Every board is let go of and handed back to its serial driver; one
        // that nothing switched was not even claimed.
        holder.terminate(), holder.waitForFinished();
        service.terminate(), service.waitForFinished();
        const int boards = during == "plug" ? emulated_ftdi_wait_plugged(bus_.get()) + 1 : int(serials.size());
        for (int board = 0; board < boards && during != "pull"; ++board)
            QVERIFY(!emulated_ftdi_claimed(bus_.get(), board) && emulated_ftdi_driver_bound(bus_.get(), board));
        if (pins == "11111111")
            QCOMPARE(emulated_ftdi_claim_count(bus_.get(), 0), 0u);
        for (int board = 1; board < boards && during == "plug"; ++board)
            QCOMPARE(emulated_ftdi_claim_count(bus_.get(), board), 0u);
    }
};

QTEST_GUILESS_MAIN(CliEmulatedTest)
#include "test_cli_emulated.moc"
