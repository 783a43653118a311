// The real kestruned on the unmodified libftdi1 against two emulated
// boards, with a real mosquitto broker on a free loopback port (and, for a
// slow network, a silent name server and a silent listener, on loopback
// too). The test talks to the broker through mosquitto_pub and
// mosquitto_sub; they and the broker run without the emulation's preloads.
// The daemon's MQTT client is tried on its own too, against the same broker.
// Each case (each row of a table) starts from nothing: fresh boards, an
// empty broker, its own daemons and files; the monitor checks the boards'
// history after it.
#include "fixture.h"
#include "mqtt/mqtt_client.h"
#include "safety_monitor.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

namespace {
const QByteArray A = "kt/KM_0001/";  // the board with serial KM.0001
const QByteArray B = "kt/KM-0002/";
}  // namespace

class MqttDaemonTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    safety::MonitoredBus monitored_;
    EmulatedFtdiBus* bus_ = nullptr;
    int a_ = -1, b_ = -1;
    const quint16 port_ = [] { QTcpServer free; return free.listen(QHostAddress::LocalHost) ? free.serverPort() : 0; }();
    QStringList tls_;  // the test's own TLS options once the broker is the TLS one
    QProcess broker_, daemon_, sub_, other_;  // other_: a second daemon on the broker
    QByteArray log_, otherLog_;               // what the daemons logged
    QMap<QByteArray, QByteArray> last_;       // topic -> latest payload ("" for an empty one)

    // What a topic (board A's program state) says, without the lateness figures, which depend on the machine's load.
    QByteArray shown(const QByteArray& topic = A + "program") const { return QString(last_.value(topic)).remove(QRegularExpression(R"("largest_late_ms":[0-9.e-]+,"late":\d+,)")).toUtf8(); }
    QString file(const QString& name, const QByteArray& text, QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner)
    {
        QFile f(dir_.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(text) == text.size() && f.setPermissions(mode) ? f.fileName() : QString();
    }
    // Starts a tool in the work folder, without the emulation's preloads.
    void run(QProcess& process, const char* program, const QStringList& arguments)
    {
        process.setWorkingDirectory(dir_.path());
        process.start("env", QStringList{"-u", "LD_PRELOAD", "-u", "UMOCKDEV_DIR", program} + arguments);
    }
    QStringList to() const { return QStringList{"-h", "127.0.0.1", "-p", QString::number(port_), "-q", "1"} + tls_; }
    QByteArray written(int board) const { const auto w = monitored_.written(board); return {reinterpret_cast<const char*>(w.data()), qsizetype(w.size())}; }
    // (Re)starts the broker, and the test's subscriber on it.
    void startBroker(const QByteArray& extra = {})
    {
        for (QProcess* p : {&broker_, &sub_})
            p->kill(), p->waitForFinished();
        const QByteArray listener = "listener " + QByteArray::number(port_) + " 127.0.0.1\n";
        run(broker_, MOSQUITTO, {"-c", file("broker.conf", listener + "allow_anonymous true\nuser root\n" + extra)});
        QTRY_VERIFY([this] { QTcpSocket s; s.connectToHost(QHostAddress::LocalHost, port_); return s.waitForConnected(); }());
        last_.clear();
        run(sub_, MOSQUITTO_SUB, to() + QStringList{"-v", "-t", "kt/#", "-t", "homeassistant/#"});
    }
    void startDaemon(const QByteArray& broker, const QByteArray& id = "test", const QByteArray& boards = "serials = KM.0001, KM-0002\n",
                     QProcess* daemon = nullptr, const QStringList& more = {})
    {
        daemon = daemon ? daemon : &daemon_;
        daemon->setWorkingDirectory(dir_.path());
        daemon->start(KESTRUNED, QStringList{"--config", file(id + ".conf", "[broker]\nhost = 127.0.0.1\nport = " + QByteArray::number(port_) +
                                      '\n' + broker + "[topics]\nbase = kt\nid = " + id + "\n[boards]\n" + boards)} + more);
        QTRY_COMPARE_WITH_TIMEOUT(last_.value("kt/bridge/" + id + "/availability"), "online", 20000);
    }
    // The daemon for board A at host:port, not waited for, through wrapper
    // (a command line that ends by running its arguments) when one is given.
    void startSlow(const QByteArray& host, quint16 port, const QStringList& wrapper = {})
    {
        daemon_.setWorkingDirectory(dir_.path());
        const QStringList command = wrapper + QStringList{KESTRUNED, "--config", file("net.conf", "[broker]\nhost = " + host + "\nport = " +
            QByteArray::number(port) + "\n[topics]\nbase = kt\nid = net\n[boards]\nserials = KM.0001\n")};
        daemon_.start(command.first(), command.mid(1));
        QVERIFY(daemon_.waitForStarted());
    }
    // SIGTERM, and how long the daemon took to end by it.
    qint64 timedStop()
    {
        QElapsedTimer took;
        took.start();
        stop(daemon_, SIGTERM);
        return took.elapsed();
    }
    void stop(QProcess& daemon, int sig)
    {
        QVERIFY(daemon.processId() > 0);  // kill(0) would signal the whole process group
        ::kill(static_cast<pid_t>(daemon.processId()), sig);
        QVERIFY(daemon.waitForFinished() && daemon.exitStatus() == (sig == SIGKILL ? QProcess::CrashExit : QProcess::NormalExit) &&
                (sig == SIGKILL || daemon.exitCode() == 0));
    }
    void publish(const QByteArray& topic, const QByteArray& payload, const QStringList& how = {"-s"})
    {
        QProcess pub;
        monitored_.monitor->request();
        run(pub, MOSQUITTO_PUB, to() + QStringList{"-t", topic} + how);
        pub.write(payload);
        pub.closeWriteChannel();
        QVERIFY(pub.waitForFinished(20000) && pub.exitCode() == 0);
    }
    // Publishes a message and waits until exactly these patterns reached
    // board A, in order, and the last one stands in its state and relay
    // topics. With no patterns the message must change nothing: a toggle of
    // relay 5 sent after it must be all that reaches the board.
    void send(const QByteArray& topic, const QByteArray& payload, QByteArrayList patterns, const QStringList& how = {"-s"})
    {
        const QByteArray before = written(a_);
        publish(topic, payload, how);
        if (patterns.isEmpty()) {
            QTRY_COMPARE(last_.value(A + "state").size(), 8);  // said once the board is served
            QByteArray toggled = last_.value(A + "state");
            toggled[4] = toggled[4] == '1' ? '0' : '1';
            publish(A + "relay/5/set", "TOGGLE");
            patterns = {toggled};
        }
        QByteArray bytes;
        for (const QByteArray& pattern : patterns)
            bytes += char(RelayPattern::fromText(pattern).value());
        QTRY_COMPARE_WITH_TIMEOUT(written(a_), before + bytes, 30000);
        QTRY_COMPARE(last_.value(A + "state"), patterns.last());
        for (int relay = 1; relay <= 8; ++relay)
            QCOMPARE(last_.value(A + "relay/" + QByteArray::number(relay)), patterns.last()[relay - 1] == '1' ? "ON" : "OFF");
    }

private slots:
    void initTestCase()
    {
        std::signal(SIGPIPE, SIG_IGN);  // as kestruned: a write to a broker that is gone fails, it does not kill
        QVERIFY2(emulated_ftdi_available(), "run this test with umockdev's preload library");
        qputenv("QT_LOGGING_RULES", "kestrune.mqtt.debug=true");  // every daemon logs each attempt to connect
        connect(&sub_, &QProcess::readyReadStandardOutput, this, [this] {
            for (QByteArray line; sub_.canReadLine();) {
                line = sub_.readLine().chopped(1);
                last_.insert(line.left(line.indexOf(' ')), line.endsWith(" (null)") ? "" : line.mid(line.indexOf(' ') + 1));
            }
        });
        connect(&daemon_, &QProcess::readyReadStandardError, this, [this] { log_ += daemon_.readAllStandardError(); });
        connect(&other_, &QProcess::readyReadStandardError, this, [this] { otherLog_ += other_.readAllStandardError(); });
    }
    void init()
    {
        monitored_.start();
        QVERIFY((bus_ = monitored_.get()));
        a_ = emulated_ftdi_add_board(bus_, "KM.0001");
        const EmulatedFtdiBoard b{"KM-0002", "Eight relays", "Acme", nullptr, nullptr};
        b_ = emulated_ftdi_add_board_with(bus_, &b);
        log_.clear(), otherLog_.clear(), tls_.clear();
        startBroker();
    }
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning("the daemons' logs:\n%s\n%s", log_.constData(), otherLog_.constData());
        for (QProcess* p : {&daemon_, &other_})  // SIGTERM: pending edges are performed
            p->terminate(), p->waitForFinished();
        for (QProcess* p : {&sub_, &broker_})
            p->kill(), p->waitForFinished();
        for (QProcess* p : {&daemon_, &other_})
            p->setProcessEnvironment(QProcessEnvironment(QProcessEnvironment::InheritFromParent));  // the next bus's
        monitored_.finish();
    }

    // A message to board A, all off, and the patterns it writes; bad input
    // (no patterns) is ignored with one log line. Board B sees none of it.
    // The ways a payload or a topic is bad are the bridge's rows (tests/mqtt).
    void messages_data()
    {
        fixture::columns<QByteArray, QByteArray, QByteArrayList, QStringList>({"topic", "payload", "patterns", "how"});  // how: mosquitto_pub's options
        const auto row = [](const char* name, const QByteArray& topic, const QByteArray& payload,
                            const QByteArrayList& patterns = {}, const QStringList& how = {"-s"}) {
            QTest::newRow(name) << (topic.startsWith("kt/") ? topic : A + topic) << payload << patterns << how;
        };
        row("toggle, any case", "relay/1/set", "toggle", {"10000000"});
        row("relay off", "relay/3/set", "Off", {"00000000"});
        row("cycle", "relay/1/set", " CYCLE  150 ", {"00000000", "10000000"});
        QByteArrayList burst;  // 200 distinct patterns, one message each
        for (int i = 0; i < 200; ++i)
            burst << QByteArray::number(256 + i * 37 % 256, 2).right(8);
        row("burst of 200", "state/set", burst.join('\n') + '\n', burst, {"-l"});
        row("unknown topic", "relays/1/set", "ON");
        row("over 1 MiB", "program/set", "{\"program\": \"" + QByteArray("11111111-1\\r\\n").repeated(90000) + "\"}");
        row("retained", "state/set", "11111111", {}, {"-s", "-r"});
    }
    void messages()
    {
        const QByteArray topic = fixture::fetch<QByteArray>("topic"), payload = fixture::fetch<QByteArray>("payload");
        const QByteArrayList patterns = fixture::fetch<QByteArrayList>("patterns");
        startDaemon({}, "test");
        for (const QByteArray& node : {A, B})  // each served once its availability is said
            QTRY_COMPARE_WITH_TIMEOUT(last_.value(node + "availability"), "online", 20000);
        const QByteArray before = written(b_);
        const QStringList words = QString(payload).simplified().toLower().split(u' ');  // a pulse or a cycle, and its length
        if (!patterns.isEmpty() && (words[0] == "pulse" || words[0] == "cycle"))
            monitored_.monitor->pulse({a_, topic.split('/')[3].toInt(), words[0] == "cycle", emulated_ftdi_now_us(), words.value(1).toInt()});
        send(topic, payload, patterns, fixture::fetch<QStringList>("how"));
        QCOMPARE(written(b_), before);
        QTRY_COMPARE(log_.count("ignored"), patterns.isEmpty() ? 1 : 0);
        QCOMPARE(log_.contains("over the limit of 1048576 bytes"), QByteArray(QTest::currentDataTag()) == "over 1 MiB");  // before parsing
    }

    // Board A a hoist (fwd and rev interlocked, a dead time of 1 s, its
    // relays' past unknown to the daemon, so a first make waits it too),
    // board B pump-house (named in boards.conf over a node.X), in one
    // daemon; the monitor holds the dead time and the pulses' lengths (of a
    // PULSE in capitals: one in lower case, which a signal cuts short, is
    // not theirs). A step sends "A|B SUBTOPIC
    // PAYLOAD", awaits "A|B:PINS" (hex; "/MS": within MS), "A|B=BYTES" (hex:
    // every byte written to the board), "kt/TOPIC=PAYLOAD" (its latest),
    // "homeassistant/TOPIC~TEXT" or "log TEXT", waits "wait MS", ends the
    // daemon by SIGTERM ("stop"), puts an empty broker in the broker's place
    // ("broker") or pulls board A out and plugs it in again ("replug").
    void timeline_data()
    {
        QTest::addColumn<QStringList>("steps");
        const auto program = [](const char* rows) { return "A program/set {\"program\": \"" + QString(rows) + "\", \"tick_ms\": 10}"; };
        const QStringList fwd{"A relay/7/set ON", "A:40"};
        QTest::newRow("program rows 50/5/50") << fwd + QStringList{program("00000010-50\\r\\n00000001-5\\r\\n00000001-50"), "A:80"};
        const QStringList flip = fwd + QStringList{program("00000010-50\\r\\n00000001-100"), "A:00", "wait 300"};
        QTest::newRow("a command in the dead time") << flip + QStringList{"A relay/8/set ON", "A:80"};
        QTest::newRow("stop, then a command") << flip + QStringList{"A program/control STOP", "A relay/8/set ON", "A:80"};
        QTest::newRow("a new program") << flip + QStringList{program("00000001-10"), "A:80"};
        QTest::newRow("a refused request keeps a pulse's end") << QStringList{"A relay/1/set PULSE 1000", "A:01", "A state/set 00000011", "A:00"};
        QTest::newRow("the dead time counts from the take") << QStringList{"wait 1100", "A relay/7/set ON", "A:40/600"};
        // SIGTERM performs the edges still pending (a pulse's at once, a cycle's make after its dead time), says every
        // node and the daemon offline and clears its claims.
        QTest::newRow("SIGTERM in a pulse and while a cycle's make waits") << QStringList{"A relay/8/set ON", "A:80", "A relay/3/set pulse 60000", "A:84",
            "A relay/7/set CYCLE 100", "A:04", "stop", "A=00808484040040", "B=", "kt/bridge/test/availability=offline", "kt/hoist/availability=offline",
            "kt/pump-house/availability=offline", "kt/hoist/owner="};
        // A program played row by row; control of one that runs, and a relay command stopping it first.
        const QString endless = "A program/set {\"program\": \"10000000-9999\\r\\n\", \"tick_ms\": 100, \"repeat\": true}";
        const auto shown = [](const char* state, int rows = 1) { return QString("kt/hoist/program={\"row\":%1,\"rows\":%2,\"state\":\"%3\",\"steps\":%2}").arg(rows - 1).arg(rows).arg(state); };
        QTest::newRow("a program, its controls, a command") << QStringList{program("11000000-2\\r\\n00110000-1\\n00000100-3"), "A=030c20", shown("stopped", 3),
            endless, shown("running"), "A program/control pause", shown("paused"), "A program/control RESUME", shown("running"), "A program/control Stop",
            shown("stopped"), endless, shown("running"), "A relay/8/set on", "A:81", shown("stopped")};
        // Discovery names the device and its relays as boards.conf does (the ids as before).
        const QString ha = "homeassistant/switch/kestrune_test/KM-0002_";
        QTest::newRow("a board named in boards.conf") << QStringList{"log pump-house - its node, not pumps of [boards] node.KM-0002", ha + "1/config~\"name\":\"pump\"",
            ha + "1/config~\"command_topic\":\"kt/pump-house/relay/1/set\"", ha + "2/config~\"name\":\"Relay 2\"", ha + "1/config~\"name\":\"pump-house\"",
            ha + "1/config~\"unique_id\":\"kestrune_test_KM-0002_1\"", "B relay/1/set ON", "kt/pump-house/relay/1=ON", "B=01"};
        // An empty broker is told everything again, and commands go on; the board gone and back at another port is
        // served again, its program state said just after its availability.
        QTest::newRow("the broker and the board gone and back") << QStringList{"A state/set 01000000", "A:02", "broker", "kt/bridge/test/availability=online",
            "kt/hoist/state=01000000", "homeassistant/switch/kestrune_test/KM_0001_1/config~\"unique_id\"", "A state/set 00000000", "A:00", "replug",
            "kt/hoist/program={\"row\":0,\"rows\":0,\"state\":\"stopped\",\"steps\":0}", "A relay/2/set ON", "A:02", "A=02"};
        QTest::newRow("one board's wait delays no other") << fwd + QStringList{"B relay/1/set PULSE 500", "A relay/8/set ON", "B:00", "A:80"};
    }
    void timeline()
    {
        const QString conf = file("hoist.conf", "[board hoist]\nserial = KM.0001\nrelay.7 = fwd\nrelay.8 = rev\ninterlock = fwd rev\ndead_time_ms = 1000\n"
                                                "[board pump-house]\nserial = KM-0002\nrelay.1 = pump\n");
        monitored_.monitor->useBoards(conf);
        startDaemon({}, "test", "serials = KM.0001, KM-0002\nnode.KM-0002 = pumps\n", nullptr, {"--boards", conf});
        QTRY_COMPARE_WITH_TIMEOUT(last_.value("kt/hoist/availability"), "online", 20000);
        QFETCH(QStringList, steps);
        for (const QString& step : steps) {
            const int board = step.startsWith('A') ? a_ : b_;
            const QStringList words = step.mid(2).split(' ');
            if (step.startsWith("wait "))
                QTest::qWait(step.section(' ', 1).toInt());
            else if (step.startsWith("log "))
                QTRY_VERIFY2(log_.contains(step.mid(4).toUtf8()), log_.constData());
            else if (step.startsWith("homeassistant/"))  // TOPIC~TEXT: its latest payload holds TEXT
                QTRY_VERIFY2(last_.value(step.section('~', 0, 0).toUtf8()).contains(step.section('~', 1).toUtf8()), qPrintable(step));
            else if (step == "stop")
                stop(daemon_, SIGTERM);
            else if (step == "broker") {
                broker_.kill();
                QTRY_VERIFY(log_.contains("lost the broker"));
                startBroker();
            } else if (step == "replug") {
                emulated_ftdi_pull_out(bus_, a_);
                QTRY_COMPARE_WITH_TIMEOUT(last_.value("kt/hoist/availability"), "offline", 10000);
                // Back at another port, and while the scan that finds it reads board B's serial number, a board the
                // daemon may not take is plugged in (listed first from then on): it is never touched.
                emulated_ftdi_set_serial_read_ms(bus_, b_, 300);
                const EmulatedFtdiBoard again{"KM.0001", nullptr, nullptr, "3-1", nullptr}, other{"KM-0009", nullptr, nullptr, "2-1", "ttyUSB5"};
                a_ = emulated_ftdi_add_board_with(bus_, &again);
                QVERIFY(emulated_ftdi_plug_in_later(bus_, &other, 50) >= 0);
                QTRY_COMPARE_WITH_TIMEOUT(last_.value("kt/hoist/availability"), "online", 10000);
                const int excluded = emulated_ftdi_wait_plugged(bus_);
                QVERIFY(excluded >= 0 && emulated_ftdi_claim_count(bus_, excluded) == 0 && emulated_ftdi_driver_bound(bus_, excluded));
            } else if (step.startsWith("kt/"))  // 40 s: a broker again, at the daemon's next try
                QTRY_COMPARE_WITH_TIMEOUT(shown(step.section('=', 0, 0).toUtf8()), step.section('=', 1).toUtf8(), 40000);
            else if (step[1] == '=')
                QTRY_COMPARE(written(board).toHex(), step.mid(2).toUtf8());
            else if (step[1] == ':')
                QTRY_COMPARE_WITH_TIMEOUT(emulated_ftdi_pins(bus_, board), (unsigned char)words[0].section('/', 0, 0).toInt(nullptr, 16),
                                          words[0].contains('/') ? words[0].section('/', 1).toInt() : 5000);
            else {
                if (words[1] == "PULSE")
                    monitored_.monitor->pulse({board, words[0].section('/', 1, 1).toInt(), false, emulated_ftdi_now_us(), words[2].toInt()});
                publish((board == a_ ? "kt/hoist/" : "kt/pump-house/") + words[0].toUtf8(), words.mid(1).join(' ').toUtf8());
            }
        }
    }

    // A board named in boards.conf with on_start = restore as the daemon
    // takes it: first with no state kept, then after a restart, then after a
    // re-plug (a fresh chip: all off) in the middle of a pulse, whose first
    // edge is not a state to restore; keep and off are tests/mqtt's. Its
    // relay 2 has a pulse_ms of 24 h: a "Pulse" button sends PULSE, which
    // lasts until SIGTERM ends it.
    void onStart()
    {
        const QByteArray node = "kt/pump/", button = "homeassistant/button/kestrune_test/KM_0001_";
        const QString boards = file("boards.conf", "[board pump]\nserial = KM.0001\nrelay.2 = bell\npulse_ms.2 = 86400000\non_start = restore\n");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("STATE_DIRECTORY", dir_.filePath("state"));
        QVERIFY(QDir(dir_.filePath("state")).removeRecursively() && QDir(dir_.path()).mkpath("state"));
        daemon_.setProcessEnvironment(environment);
        for (const QByteArrayView step : {"start", "restart", "re-plug"}) {
            QByteArray before = written(a_);
            if (step == "re-plug") {
                publish(node + "relay/4/set", "PULSE 4000");
                QTRY_COMPARE(emulated_ftdi_pins(bus_, a_), (unsigned char)0x0d);
                emulated_ftdi_pull_out(bus_, a_);
                QTRY_COMPARE_WITH_TIMEOUT(last_.value(node + "availability"), "offline", 10000);
                const EmulatedFtdiBoard again{"KM.0001", nullptr, nullptr, "4-1", nullptr};
                a_ = emulated_ftdi_add_board_with(bus_, &again);
                before.clear();
            } else {
                startDaemon({}, "test", "serials = KM.0001\n", nullptr, {"--boards", boards});
            }
            QTRY_COMPARE_WITH_TIMEOUT(last_.value(node + "availability"), "online", 20000);
            QCOMPARE(written(a_).mid(before.size()), step == "start" ? QByteArray() : QByteArray("\x05"));
            QTRY_COMPARE(last_.value(node + "state"), RelayPattern::toText(emulated_ftdi_pins(bus_, a_)));
            if (step != "start")
                continue;
            const QJsonObject config = QJsonDocument::fromJson(last_.value(button + "2/config")).object();
            QCOMPARE(config["name"].toString() + ' ' + config["payload_press"].toString() + ' ' + config["command_topic"].toString(),
                     "Pulse bell PULSE " + node + "relay/2/set");
            QVERIFY(last_.value(button + "1/config").isEmpty());
            publish(node + "state/set", "10100000");
            const qint64 pressed = emulated_ftdi_now_us();
            publish(node + "relay/2/set", config["payload_press"].toString().toUtf8());
            publish(node + "relay/8/set", "PULSE 1100");  // longer than the default length: relay 2's own counts
            monitored_.monitor->pulse({a_, 8, false, emulated_ftdi_now_us(), 1100});
            QTRY_COMPARE(emulated_ftdi_pins(bus_, a_), (unsigned char)0x87);
            QTRY_COMPARE_WITH_TIMEOUT(emulated_ftdi_pins(bus_, a_), (unsigned char)0x07, 5000);
            monitored_.monitor->pulse({a_, 2, false, pressed, 86400000, emulated_ftdi_now_us()});
            stop(daemon_, SIGTERM);
            QCOMPARE(emulated_ftdi_pins(bus_, a_), (unsigned char)0x05);
            QTRY_COMPARE(last_.value(node + "availability"), "offline");
            QCOMPARE(fixture::readFile(dir_.filePath("state/pump.state")), "10100000\n");
        }
    }

    // Daemons machineA and machineB with clone boards of one serial, each
    // allowed one of them by its port, and B a board without a serial, on a
    // broker that keeps what is retained when it stops; then machine0, and a
    // second daemon with machine0's id.
    void twoDaemons()
    {
        const QByteArray persistent = "persistence true\npersistence_location " + dir_.path().toUtf8() + "/\n";
        startBroker(persistent);
        const EmulatedFtdiBoard boards[] = {{"CLONE1", nullptr, nullptr, "1-7", nullptr}, {"CLONE1", nullptr, nullptr, "1-8", nullptr},
                                            {nullptr, nullptr, nullptr, "2-3.2", nullptr}, {"CLONE1", nullptr, nullptr, "1-9", nullptr}};
        int c[4];
        for (int i = 0; i < 4; ++i)
            QVERIFY((c[i] = emulated_ftdi_add_board_with(bus_, &boards[i])) >= 0);
        startDaemon({}, "machineB", "serials = port:1-8, port:2-3.2\n", &other_);
        QTRY_COMPARE(last_.value("kt/bridge/machineB/nodes"), R"(["CLONE1","port-2-3_2"])");
        QVERIFY(otherLog_.contains("the board at port 2-3.2 has no serial number: serving it as kt/port-2-3_2"));
        QCOMPARE(last_.value("kt/CLONE1/owner"), "machineB");
        // A holds its board but does not serve the node B serves while B is online; it serves it when B is gone.
        startDaemon({}, "machineA", "serials = port:1-7\n");
        QTRY_VERIFY(log_.contains("not serving board CLONE1 at port 1-7: node kt/CLONE1 belongs to daemon machineB which is online; "
                                  "give this board a node name of its own in [boards] (node.CLONE1 = NAME) or use another base topic"));
        QVERIFY(emulated_ftdi_claimed(bus_, c[0]) && emulated_ftdi_claimed(bus_, c[1]));
        stop(other_, SIGKILL);
        emulated_ftdi_pull_out(bus_, c[2]);
        QTRY_COMPARE_WITH_TIMEOUT(last_.value("kt/CLONE1/owner"), "machineA", 10000);
        // A node name is the way out; SIGHUP stops B cleanly (what it says then: the timeline's SIGTERM).
        startDaemon({}, "machineB", "serials = port:1-9\nnode.port:1-9 = bench\n", &other_);
        QTRY_COMPARE(last_.value("kt/bench/availability"), "online");
        publish("kt/CLONE1/relay/1/set", "ON");
        QTRY_COMPARE(written(c[0]), QByteArray("\x01"));
        stop(other_, SIGHUP);
        // Daemon machine0, allowed B's clone. A broker that stops sends every client's will: machine0 serves the
        // node neither for machineA's nor as it connects again, but at once when machineA lets it go.
        otherLog_.clear();
        startDaemon({}, "machine0", "serials = port:1-9\n", &other_);
        QTRY_VERIFY(otherLog_.contains("not serving board CLONE1 at port 1-9: node kt/CLONE1 belongs to daemon machineA"));
        broker_.terminate();
        QVERIFY(broker_.waitForFinished());
        QTRY_VERIFY_WITH_TIMEOUT(otherLog_.contains("cannot reach the broker"), 10000);  // back for its next try, 2 s on: machine0 looks at the bus while it is away
        startBroker(persistent);
        QTRY_VERIFY_WITH_TIMEOUT(log_.count("connected to the broker") == 2 && otherLog_.count("connected to the broker") == 2, 40000);
        for (const QByteArray id : {"machineA", "machine0"})
            QTRY_COMPARE(last_.value("kt/bridge/" + id + "/availability"), "online");
        publish("kt/CLONE1/relay/2/set", "ON");
        QTRY_COMPARE(written(c[0]), QByteArray("\x01\x03"));
        QVERIFY2(!otherLog_.contains("mqtt: serving board"), otherLog_.constData());
        QCOMPARE(written(c[3]), QByteArray());
        QVERIFY(emulated_ftdi_claimed(bus_, c[3]));
        stop(daemon_, SIGTERM);
        QTRY_COMPARE_WITH_TIMEOUT(last_.value("kt/CLONE1/owner"), "machine0", 5000);
        QVERIFY(!(log_ + otherLog_).contains("ignored"));  // the statuses each said of CLONE1
        // A second daemon with machine0's id says so in one line and waits, without taking the id over (its start
        // returns at once: the availability it waits for is machine0's).
        const qsizetype mark = log_.size(), otherMark = otherLog_.size();
        startDaemon({}, "machine0", "serials = port:1-7\n");
        QTRY_VERIFY_WITH_TIMEOUT(log_.contains("another daemon uses the id machine0 on the broker at 127.0.0.1:" + QByteArray::number(port_) +
                                               " and is online: this one waits, looking again every 30 s"), 20000);
        publish("kt/CLONE1/relay/3/set", "ON");
        QTRY_COMPARE(written(c[3]), QByteArray("\x04"));
        QVERIFY2(log_.mid(mark).count("another daemon uses the id") == 1 && !log_.mid(mark).contains("connected to the broker") &&
                     !otherLog_.mid(otherMark).contains("broker"), (log_ + otherLog_).constData());
    }

    // Without a broker named the service holds its boards at once and opens
    // no network socket. To a user outside group plugdev, whom its control
    // socket's mode keeps out, it names itself (from a list every user may
    // read, made so whatever the umask) and the way in. (A member switching
    // through the socket: unitSandbox, in the unit's own sandbox.)
    void noBroker()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KESTRUNE_RUNTIME_DIR", dir_.filePath("run"));
        env.insert("KESTRUNE_SOCKET", dir_.filePath("run/control"));
        daemon_.setProcessEnvironment(env);
        QElapsedTimer took;
        const auto firstWord = connect(&daemon_, &QProcess::readyReadStandardError, this, [&took] { if (!took.isValid()) took.start(); });
        daemon_.start("sh", {"-c", "umask 077 && exec \"$0\" \"$@\"", KESTRUNED, "--config", file("local.conf", "[boards]\nserials = KM.0001\n")});
        QTRY_VERIFY_WITH_TIMEOUT(emulated_ftdi_claimed(bus_, a_), 10000);
        disconnect(firstWord);
        QVERIFY2(took.elapsed() < 2000, qPrintable(QString::number(took.elapsed()) + " ms from its first word"));
        const QString pid = QString::number(daemon_.processId()), list = dir_.filePath("run/boards");
        QTRY_VERIFY(fixture::readFile(list).contains(R"("port":"1-1")"));
        QCOMPARE(QFileInfo(list).permissions() & 0x0fff, QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther);
        QByteArray inet;
        for (const char* table : {"tcp", "tcp6", "udp", "udp6", "raw", "raw6"})
            inet += fixture::readFile("/proc/" + pid + "/net/" + table);
        for (const QString& fd : QDir("/proc/" + pid + "/fd").entryList(QDir::System)) {
            const QString target = QFile::symLinkTarget("/proc/" + pid + "/fd/" + fd);
            const QString inode = target.contains("socket:[") ? target.section("socket:[", 1).chopped(1) : QString();
            QVERIFY2(inode.isEmpty() || !inet.contains(' ' + inode.toUtf8() + ' '), qPrintable(target));
        }
        QVERIFY(log_.contains("MQTT off: no broker named") && !log_.contains("the broker"));
        // Users who cannot see the service's open files; the boards' nodes as
        // the udev rule leaves them for the user at the seat (uaccess).
        QVERIFY(QFile::setPermissions(dir_.path(), QFile::ReadUser | QFile::WriteUser | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther));
        QCOMPARE(QProcess::execute("chmod", {"-R", "a+rwX", qEnvironmentVariable("UMOCKDEV_DIR")}), 0);
        QTRY_VERIFY(QFileInfo::exists(dir_.filePath("run/control")));
        QProcess cli;
        cli.setProcessEnvironment(env);
        cli.start("setpriv", {"--reuid=64012", "--regid=64012", "--clear-groups", KESTRUNE_CLI, "on", "1", "--serial", "KM.0001"});
        QVERIFY(cli.waitForFinished());
        QCOMPARE(std::pair(cli.exitCode(), cli.readAllStandardError()), std::pair(1, "kestrune-cli: the board at port 1-1 is held by the board service kestruned (pid " + pid.toUtf8() +
                 ")\nkestrune-cli: the board service switches it for the members of group plugdev, through its socket " + dir_.filePath("run/control").toUtf8() + "; this user may not use it\n"));
        QProcess listing;
        listing.setProcessEnvironment(env);
        listing.start(KESTRUNE_CLI, {"list"});
        QVERIFY(listing.waitForFinished());
        QCOMPARE(listing.readAllStandardOutput(), "1\tKM-0002\tEight relays\t1-2\n2\tKM.0001\tFT232R USB UART\t1-1\t\theld by kestruned\n");
        stop(daemon_, SIGTERM);
        QVERIFY(!fixture::readFile(list).contains("1-1") && !QFileInfo::exists(dir_.filePath("run/control")));
        QCOMPARE(written(a_), QByteArray());
    }

    // The client of a broker that went away: what it was asked to publish
    // for the lost connection, before it heard of the loss and after it
    // connected again, never reaches the broker; what it is asked to
    // publish for the new connection does.
    void staleRequests()
    {
        MqttClient::Options options;
        options.host = "127.0.0.1", options.port = port_, options.clientId = "stale";
        MqttClient client(options);
        QList<quint64> connections;
        connect(&client, &MqttClient::connected, this, [&](quint64 connection) { connections << connection; });
        QCOMPARE(client.start(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(connections.size(), 1, 10000);
        client.publish(connections[0], "kt/stale/1", "before");
        QTRY_COMPARE(last_.value("kt/stale/1"), "before");
        broker_.kill(), broker_.waitForFinished();
        client.publish(connections[0], "kt/stale/2", "lost, not heard yet");  // no event has run since
        startBroker();
        QTRY_COMPARE_WITH_TIMEOUT(connections.size(), 2, 20000);
        client.publish(connections[0], "kt/stale/3", "connected again since");
        client.publish(connections[1], "kt/stale/4", "again");
        QTRY_COMPARE(last_.value("kt/stale/4"), "again");
        QVERIFY(!last_.contains("kt/stale/2") && !last_.contains("kt/stale/3"));
    }

    // TLS with a client certificate, and a wrong CA's reason (the settings
    // the daemon refuses are tests/mqtt's).
    void security()
    {
        QProcess openssl;
        run(openssl, "sh", {"-c", R"(set -e; exec 2> openssl.log; echo subjectAltName=IP:127.0.0.1 > san
            key() { n=$1 cn=$2; shift 2; openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout $n.key -subj /CN=$cn "$@"; }
            key ca kestrune-test-ca -x509 -days 1 -out ca.crt; key other kestrune-other-ca -x509 -days 1 -out other.crt
            for who in server client; do key $who 127.0.0.1 -out $who.csr
            openssl x509 -req -in $who.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 1 -extfile san -out $who.crt; done)"});
        QVERIFY(openssl.waitForFinished() && openssl.exitCode() == 0);
        tls_ = QStringList{"--cafile", "ca.crt", "--cert", "client.crt", "--key", "client.key"};
        startBroker("cafile ca.crt\ncertfile server.crt\nkeyfile server.key\nrequire_certificate true\n");
        other_.setWorkingDirectory(dir_.path());
        other_.start(KESTRUNED, {"--config", file("wrong.conf", "[broker]\nhost = 127.0.0.1\nport = " + QByteArray::number(port_) + "\ncafile = other.crt\n")});
        QTRY_VERIFY(otherLog_.contains("cannot reach the broker at 127.0.0.1:" + QByteArray::number(port_) + " (A TLS error occurred.: OpenSSL Error"));
        startDaemon("cafile = ca.crt\ncertfile = client.crt\nkeyfile = client.key\n", "tls");
        QTRY_COMPARE_WITH_TIMEOUT(last_.value(A + "availability"), "online", 20000);
        send(A + "relay/4/set", "on", {"00010000"});
        QTRY_VERIFY_WITH_TIMEOUT(otherLog_.count("connecting to") >= 3, 20000);
        // The reason not again at each retry; no board taken before the broker tells who owns it.
        QVERIFY2(otherLog_.count("certificate verify failed") == 1 && !otherLog_.contains("took board"), otherLog_.constData());
    }

    // The broker named by a host name. Once the daemon serves, the name
    // leaves the hosts file and the name server goes silent; the broker goes
    // away and the daemon's next lookup hangs. A pulse running meanwhile ends
    // on time, and SIGTERM ends the daemon at once.
    void silentNameServer()
    {
        // Reads nothing, answers nothing; at a loopback address of this run's
        // own, so that two runs at once do not meet on port 53.
        QUdpSocket silent;
        const QHostAddress server(0x7f350000u | (quint32(QCoreApplication::applicationPid()) & 0xffffu));  // 127.53.x.y
        if (!silent.bind(server, 53))
            QSKIP(qPrintable("cannot bind " + server.toString() + ":53 for a silent name server: " + silent.errorString()));
        const QString hosts = file("hosts", "127.0.0.1 kestrune-broker.test\n");
        const QStringList wrapper = {"env", "-u", "LD_PRELOAD", "KESTRUNE_TEST_PRELOAD=" + qEnvironmentVariable("LD_PRELOAD"),
            "unshare", "--mount", "--propagation", "private", "sh", "-c",
            R"(mount --bind "$1" /etc/hosts && mount --bind "$2" /etc/resolv.conf && mount --bind "$3" /etc/nsswitch.conf || exit 125
               shift 3; exec env ${KESTRUNE_TEST_PRELOAD:+LD_PRELOAD="$KESTRUNE_TEST_PRELOAD"} "$@")", "sh", hosts,
            file("resolv.conf", "nameserver " + server.toString().toLatin1() + "\noptions timeout:5 attempts:4\n"), file("nsswitch.conf", "hosts: files dns\n")};
        if (QProcess::execute(wrapper.first(), wrapper.mid(1) + QStringList{"true"}) != 0)
            QSKIP("no private mount namespace with hosts and resolv.conf of its own here (needs root and unshare --mount)");
        startSlow("kestrune-broker.test", port_, wrapper);
        QTRY_COMPARE_WITH_TIMEOUT(last_.value(A + "availability"), "online", 20000);
        QVERIFY(file("hosts", "").endsWith("hosts"));  // in place: the daemon's bind mount sees it
        monitored_.monitor->pulse({a_, 1, false, emulated_ftdi_now_us(), 3000});
        publish(A + "relay/1/set", "PULSE 3000");
        QTRY_COMPARE(emulated_ftdi_pins(bus_, a_), (unsigned char)0x01);
        broker_.kill(), broker_.waitForFinished();
        QTRY_VERIFY(log_.contains("lost the broker"));
        QTRY_VERIFY(log_.mid(log_.indexOf("lost the broker")).contains("connecting to"));  // the lookup that hangs
        QTRY_COMPARE_WITH_TIMEOUT(emulated_ftdi_pins(bus_, a_), (unsigned char)0x00, 6000);
        QVERIFY2(!log_.mid(log_.indexOf("lost the broker")).contains("cannot reach"), log_.constData());  // still looking
        QCOMPARE_LT(timedStop(), 1000);
        QCOMPARE(emulated_ftdi_pins(bus_, a_), (unsigned char)0x00);
    }

    // A listener that takes the connection and never answers: the daemon
    // says so after its 10 s, not after the keepalive, and tries again.
    void silentListener()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        const QByteArray broker = "127.0.0.1:" + QByteArray::number(silent.serverPort());
        QElapsedTimer took;
        took.start();
        startSlow("127.0.0.1", silent.serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(log_.contains("the broker at " + broker + " accepted the connection but did not answer in 10 s; "
                                               "retrying every 1 to 30 s"), 25000);
        QVERIFY2(took.elapsed() > 5000 && !log_.contains("Unknown error"), log_.constData());
        QTRY_VERIFY_WITH_TIMEOUT(log_.count("connecting to") >= 2, 5000);
        QCOMPARE_LT(timedStop(), 1000);
    }

    // The daemon as its unit starts it (unit-sandbox.sh): everything
    // read-only but what the unit makes writable, as a user of its own in
    // group plugdev. It switches a board, which takes its lock file; the
    // same unit without /run/lock writable cannot, and a directive the
    // sandbox does not model refuses the run.
    void unitSandbox_data()
    {
        // change: to the unit, "-LINE" drops it, "+LINE" adds it; outcome: "switched", or what the log or the sandbox says
        fixture::columns<QByteArray, QByteArray>({"change", "outcome"});
        QTest::newRow("no ReadWritePaths=") << QByteArray("-ReadWritePaths=/run/lock") << QByteArray("Read-only file system");
        QTest::newRow("as packaged") << QByteArray() << QByteArray("switched");
        QTest::newRow("a directive not modelled") << QByteArray("+BindPaths=/srv") << QByteArray("BindPaths= is a directive this sandbox does not model");
    }
    void unitSandbox()
    {
        QFETCH(QByteArray, change);
        QFETCH(QByteArray, outcome);
        if (!QCoreApplication::arguments().contains("unitSandbox"))
            QSKIP("runs on its own (ctest -R mqtt_unit_sandbox)");
        QFile uidMap("/proc/self/uid_map"), packaged(KESTRUNE_UNIT);
        if (QProcess::execute("unshare", {"--mount", "true"}) != 0 || !uidMap.open(QIODevice::ReadOnly) || uidMap.readAll().simplified() != "0 0 4294967295")
            QSKIP("needs root outside a user namespace, and unshare --mount");
        QVERIFY(packaged.open(QIODevice::ReadOnly));
        QByteArray unit = packaged.readAll();
        change.startsWith('-') ? void(unit.replace(change.mid(1) + '\n', "")) : void(unit.replace("[Service]\n", "[Service]\n" + change.mid(1) + '\n'));
        const uid_t uid = 64010;  // a user of its own, as DynamicUser= makes one
        const QString state = dir_.filePath("state"), credentials = dir_.filePath("credentials"), bed = qEnvironmentVariable("UMOCKDEV_DIR");
        QVERIFY(QDir(dir_.path()).mkpath("state") && QDir(dir_.path()).mkpath("credentials") && QDir(dir_.path()).mkpath("runtime") && !bed.isEmpty());
        file("credentials/kestruned.conf", "[broker]\nhost = 127.0.0.1\nport = " + QByteArray::number(port_) + "\n[topics]\nbase = kt\nid = boxed\n[boards]\nserials = KM-0002\n");
        // The boards' nodes as the udev rule leaves them: group plugdev may use them.
        QCOMPARE(QProcess::execute("sh", {"-c", "chown -R " + QString::number(uid) + " \"$0\" \"$1\" && chgrp -R plugdev \"$2\" && chmod -R g+rwX \"$2\"",
                                          state, credentials, bed}), 0);
        QProcess boxed;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KESTRUNE_TEST_PRELOAD", env.value("KESTRUNE_TEST_PRELOAD", env.value("LD_PRELOAD")));
        env.insert("KESTRUNE_SANDBOX_RUNTIME", dir_.filePath("runtime"));
        env.remove("LD_PRELOAD");
        boxed.setProcessEnvironment(env);
        boxed.setProcessChannelMode(QProcess::MergedChannels);
        boxed.start(UNIT_SANDBOX, {file("unit.service", unit), QString::number(uid), state, credentials, KESTRUNED, bed});
        const QByteArray before = written(b_);
        if (outcome == "switched") {  // online once it listens to the node's commands
            QTRY_COMPARE_WITH_TIMEOUT(last_.value(B + "availability"), "online", 20000);
            publish(B + "relay/2/set", "TOGGLE");  // a write whatever the relay was
            QTRY_COMPARE(written(b_).size(), before.size() + 1);
            // Under UMask=0077 another user of group plugdev switches through the socket (its mode and the list's: noBroker).
            QVERIFY(QFile::setPermissions(dir_.path(), QFile::ReadUser | QFile::WriteUser | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther));
            QProcess cli;
            env.insert("LD_PRELOAD", env.value("KESTRUNE_TEST_PRELOAD"));
            env.insert("KESTRUNE_SOCKET", dir_.filePath("runtime/control"));
            cli.setProcessEnvironment(env);
            cli.start("setpriv", {"--reuid=64011", "--regid=64011", "--groups=" + QString::number(getgrnam("plugdev")->gr_gid), KESTRUNE_CLI, "set", "01000000", "--serial", "KM-0002"});
            QVERIFY2(cli.waitForFinished() && cli.exitCode() == 0, cli.readAllStandardError().constData());
            QTRY_COMPARE(written(b_).size(), before.size() + 2);
        }
        QTRY_VERIFY2_WITH_TIMEOUT(boxed.peek(1 << 20).contains(outcome == "switched" ? "took board" : outcome), boxed.peek(1 << 20).constData(), 20000);
        boxed.terminate();
        QVERIFY2(boxed.state() == QProcess::NotRunning || boxed.waitForFinished(), boxed.readAll().constData());
        QCOMPARE(written(b_).size() - before.size(), outcome == "switched" ? 2 : 0);
    }
};

QTEST_GUILESS_MAIN(MqttDaemonTest)
#include "test_mqtt_daemon.moc"
