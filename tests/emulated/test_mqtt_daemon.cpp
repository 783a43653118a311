// The real kestrune-mqtt on the unmodified libftdi1 against two emulated
// boards, with a real mosquitto broker on a free loopback port. The test
// talks to the broker through mosquitto_pub and mosquitto_sub; they and the
// broker run without the emulation's preloads. The cases build on each
// other, in order, on one daemon until it is stopped.
#include "boardlink/relay_board.h"
#include "emulated_ftdi.h"

#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// A free loopback port for port 0; else whether something listens on port.
int loopback(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    auto* a = reinterpret_cast<sockaddr*>(&address);
    const int result = port ? ::connect(fd, a, length) == 0
                            : (::bind(fd, a, length), ::getsockname(fd, a, &length), ntohs(address.sin_port));
    ::close(fd);
    return result;
}

QByteArray bits(const QByteArray& pattern)
{
    return QByteArray(1, static_cast<char>(RelayPattern::fromText(pattern).value()));
}

const QByteArray A = "kt/KM_0001/";  // the board with serial KM.0001
}  // namespace

class MqttDaemonTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    EmulatedFtdiBus* bus_ = nullptr;
    int a_ = -1, b_ = -1;
    int port_ = loopback(0);
    QStringList tls_;  // the test's own TLS options once the broker is the TLS one
    QProcess broker_, daemon_, sub_;
    QByteArray log_;                     // what the daemon logged
    QMap<QByteArray, QByteArray> last_;  // topic -> latest payload

    QString file(const QString& name, const QByteArray& text, QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner)
    {
        QFile f(dir_.filePath(name));
        if (!(f.open(QIODevice::WriteOnly) && f.write(text) == text.size() && f.setPermissions(mode)))
            qFatal("cannot write %s", qPrintable(f.fileName()));
        return f.fileName();
    }
    // Starts a tool in the work folder, without the emulation's preloads.
    void run(QProcess& process, const char* program, const QStringList& arguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("LD_PRELOAD"));
        env.remove(QStringLiteral("UMOCKDEV_DIR"));
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(dir_.path());
        process.start(QString::fromUtf8(program), arguments);
    }
    QStringList to() const { return QStringList{"-h", "127.0.0.1", "-p", QString::number(port_), "-q", "1"} + tls_; }
    QByteArray written(int board) const
    {
        QByteArray bytes(qsizetype(emulated_ftdi_written(bus_, board, nullptr, 0)), '\0');
        return bytes.left(qsizetype(emulated_ftdi_written(bus_, board, reinterpret_cast<unsigned char*>(bytes.data()), size_t(bytes.size()))));
    }
    void startBroker(const QByteArray& extra = {})
    {
        const QByteArray listener = "listener " + QByteArray::number(port_) + " 127.0.0.1\n";
        run(broker_, MOSQUITTO, {"-c", file("broker.conf", listener + "allow_anonymous true\nuser root\n" + extra)});
        QTRY_VERIFY(loopback(port_));
        sub_.kill();
        sub_.waitForFinished();
        last_.clear();
        run(sub_, MOSQUITTO_SUB, to() + QStringList{"-v", "-t", "kt/#", "-t", "homeassistant/#"});
    }
    void startDaemon(const QByteArray& broker, const QByteArray& id = "test")
    {
        daemon_.setWorkingDirectory(dir_.path());
        daemon_.start(KESTRUNE_MQTT, {"--config", file(id + ".conf", "[broker]\nhost = 127.0.0.1\nport = " + QByteArray::number(port_) +
                                      '\n' + broker + "[topics]\nbase = kt\nid = " + id + "\n[boards]\nserials = KM.0001, KM-0002\n")});
        QTRY_COMPARE_WITH_TIMEOUT(last_.value("kt/bridge/" + id + "/availability"), "online", 20000);
        QTRY_COMPARE_WITH_TIMEOUT(last_.value(A + "availability"), "online", 20000);
    }
    void publish(const QByteArray& topic, const QByteArray& payload, const QStringList& how = {"-s"})
    {
        QProcess pub;
        run(pub, MOSQUITTO_PUB, to() + QStringList{"-t", topic} + how);
        pub.write(payload);
        pub.closeWriteChannel();
        QVERIFY(pub.waitForFinished(20000) && pub.exitCode() == 0);
    }
    // Publishes a command to board A and waits until one byte reached it.
    void command(const QByteArray& leaf, const QByteArray& payload, const QByteArray& expected)
    {
        const QByteArray before = written(a_);
        publish(A + leaf, payload);
        QTRY_COMPARE(written(a_), before + bits(expected));
        QTRY_COMPARE(last_.value(A + "state"), expected);
        for (int relay = 1; relay <= 8; ++relay)
            QCOMPARE(last_.value(A + "relay/" + QByteArray::number(relay)), expected[relay - 1] == '1' ? "ON" : "OFF");
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(emulated_ftdi_available(), "run this test with umockdev's preload library");
        QVERIFY((bus_ = emulated_ftdi_bus_new()));
        a_ = emulated_ftdi_add_board(bus_, "KM.0001");
        const EmulatedFtdiBoard b{"KM-0002", "Eight relays", "Acme", nullptr, nullptr};
        b_ = emulated_ftdi_add_board_with(bus_, &b);
        connect(&sub_, &QProcess::readyReadStandardOutput, this, [this] {
            for (QByteArray line; sub_.canReadLine();) {
                line = sub_.readLine().chopped(1);
                last_.insert(line.left(line.indexOf(' ')), line.mid(line.indexOf(' ') + 1));
            }
        });
        connect(&daemon_, &QProcess::readyReadStandardError, this, [this] { log_ += daemon_.readAllStandardError(); });
        startBroker();
        startDaemon({});
    }
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning("the daemon's log:\n%s", log_.constData());
    }
    void cleanupTestCase()
    {
        for (QProcess* p : {&daemon_, &sub_, &broker_}) {
            p->terminate();
            p->waitForFinished();
        }
        emulated_ftdi_bus_free(bus_);
    }

    void availabilityAndDiscovery()
    {
        QTRY_COMPARE(last_.value("kt/KM-0002/availability"), "online");
        QTRY_VERIFY(last_.contains("homeassistant/switch/kestrune_KM-0002_8/config"));
        QTRY_COMPARE(last_.value(A + "state"), "00000000");  // said after its availability
        QCOMPARE(written(a_) + written(b_), QByteArray());  // taking a board writes nothing
        QCOMPARE(QJsonDocument::fromJson(last_.value("homeassistant/switch/kestrune_KM-0002_8/config")).object(),
                 QJsonDocument::fromJson(R"({"unique_id": "kestrune_KM-0002_8", "name": "Relay 8", "command_topic":
            "kt/KM-0002/relay/8/set", "state_topic": "kt/KM-0002/relay/8", "payload_on": "ON", "payload_off": "OFF", "qos": 1,
            "availability_mode": "all", "availability": [{"topic": "kt/bridge/test/availability", "payload_available":
            "online", "payload_not_available": "offline"}, {"topic": "kt/KM-0002/availability", "payload_available": "online",
            "payload_not_available": "offline"}], "device": {"identifiers": ["kestrune_KM-0002"], "name":
            "Relay board KM-0002", "model": "Eight relays", "manufacturer": "Acme"}})").object());
    }

    void commands_data()
    {
        QTest::addColumn<QByteArray>("leaf");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("relay on") << QByteArray("relay/3/set") << QByteArray("ON") << QByteArray("00100000");
        QTest::newRow("toggle, any case") << QByteArray("relay/1/set") << QByteArray("toggle") << QByteArray("10100000");
        QTest::newRow("relay off") << QByteArray("relay/3/set") << QByteArray("Off") << QByteArray("10000000");
        QTest::newRow("state") << QByteArray("state/set") << QByteArray("01010101") << QByteArray("01010101");
    }
    void commands()
    {
        QFETCH(QByteArray, leaf);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, expected);
        command(leaf, payload, expected);
        QCOMPARE(written(b_), QByteArray());
    }

    void programs()
    {
        const QByteArray before = written(a_);
        publish(A + "program/set", R"({"program": "11000000-2\r\n00110000-1\n00000011-3", "tick_ms": 5})");
        QTRY_COMPARE(last_.value(A + "program"), R"({"row":2,"rows":3,"state":"stopped"})");
        QCOMPARE(written(a_), before + "\x03\x0c\xc0");
        // Control, and a relay command stopping the program first.
        publish(A + "program/set", R"({"program": "10000000-9999\r\n", "tick_ms": 100, "repeat": true})");
        const QByteArray running = R"({"row":0,"rows":1,"state":"running"})";
        QTRY_COMPARE(last_.value(A + "program"), running);
        for (const QByteArray word : {"pause", "RESUME", "Stop"}) {
            publish(A + "program/control", word);
            QTRY_COMPARE(last_.value(A + "program"), word == "RESUME" ? running : QByteArray(running).replace("running", word == "pause" ? "paused" : "stopped"));
        }
        publish(A + "program/set", R"({"program": "10000000-9999\r\n", "tick_ms": 100, "repeat": true})");
        QTRY_COMPARE(last_.value(A + "program"), running);
        command("relay/8/set", "on", "10000001");
        QCOMPARE(last_.value(A + "program"), R"({"row":0,"rows":1,"state":"stopped"})");
    }

    void burstOfTwoHundred()
    {
        QByteArray lines, bytes;
        for (int i = 0; i < 200; ++i) {
            const QByteArray pattern = QByteArray::number(256 + i * 37 % 256, 2).right(8);
            lines += pattern + '\n';
            bytes += bits(pattern);
        }
        const QByteArray before = written(a_);
        publish(A + "state/set", lines, {"-l"});
        QTRY_COMPARE_WITH_TIMEOUT(written(a_), before + bytes, 30000);
        QTRY_COMPARE(last_.value(A + "state"), lines.right(9).left(8));
    }

    void badInput_data()
    {
        QTest::addColumn<QByteArray>("topic");
        QTest::addColumn<QByteArray>("payload");
        const QByteArray rows = QByteArray("11111111-1\\r\\n").repeated(90000);
        QTest::newRow("unknown topic") << A + "relays/1/set" << QByteArray("ON");
        QTest::newRow("relay 0") << A + "relay/0/set" << QByteArray("ON");
        QTest::newRow("relay 9") << A + "relay/9/set" << QByteArray("ON");
        QTest::newRow("unknown word") << A + "relay/1/set" << QByteArray("ONN");
        QTest::newRow("bad pattern") << A + "state/set" << QByteArray("1111111");
        QTest::newRow("invalid JSON") << A + "program/set" << QByteArray(R"({"program": "11111111-1")");
        QTest::newRow("program over 1 MB") << A + "program/set" << "{\"program\": \"" + rows + "\"}";
        QTest::newRow("unplayable row") << A + "program/set" << QByteArray(R"({"program": "11111111-1\r\n11"})");
        QTest::newRow("unknown control") << A + "program/control" << QByteArray("HALT");
        QTest::newRow("board not taken") << QByteArray("kt/KM-0003/state/set") << QByteArray("11111111");
        QTest::newRow("retained") << A + "state/set" << QByteArray("11111111");
    }
    void badInput()
    {
        QFETCH(QByteArray, topic);
        QFETCH(QByteArray, payload);
        log_.clear();
        const QByteArray before = written(a_) + written(b_);
        publish(topic, payload, QStringList{"-s"} + (QTest::currentDataTag() == QLatin1String("retained") ? QStringList{"-r"} : QStringList{}));
        QByteArray expected = last_.value(A + "state");
        expected[4] = expected[4] == '1' ? '0' : '1';
        command("relay/5/set", "TOGGLE", expected);  // ...and nothing before it
        QCOMPARE(written(a_).size() + written(b_).size(), before.size() + 1);
        QTRY_COMPARE(log_.count("ignored"), 1);
    }

    void brokerStoppedAndStarted()
    {
        broker_.kill();
        QTRY_VERIFY(log_.contains("lost the broker"));
        const QByteArray state = last_.value(A + "state");
        startBroker();  // an empty one: everything must be said again
        QTRY_COMPARE_WITH_TIMEOUT(last_.value("kt/bridge/test/availability"), "online", 40000);
        QTRY_COMPARE(last_.value(A + "state"), state);
        QTRY_VERIFY(last_.contains("homeassistant/switch/kestrune_KM_0001_1/config"));
        command("state/set", "00000000", "00000000");
    }

    void boardPulledOutAndBack()
    {
        emulated_ftdi_pull_out(bus_, a_);
        QTRY_COMPARE_WITH_TIMEOUT(last_.value(A + "availability"), "offline", 10000);
        const EmulatedFtdiBoard again{"KM.0001", nullptr, nullptr, emulated_ftdi_port(bus_, a_), nullptr};
        a_ = emulated_ftdi_add_board_with(bus_, &again);
        QTRY_COMPARE_WITH_TIMEOUT(last_.value(A + "availability"), "online", 10000);
        command("relay/2/set", "ON", "01000000");
    }

    void sigterm()
    {
        const QByteArray before = written(a_) + written(b_);
        ::kill(static_cast<pid_t>(daemon_.processId()), SIGTERM);
        QVERIFY(daemon_.waitForFinished());
        QVERIFY(daemon_.exitStatus() == QProcess::NormalExit && daemon_.exitCode() == 0);
        for (const QByteArray topic : {"kt/bridge/test/availability", "kt/KM_0001/availability", "kt/KM-0002/availability"})
            QTRY_COMPARE(last_.value(topic), "offline");
        QCOMPARE(written(a_) + written(b_), before);
        QCOMPARE(emulated_ftdi_pins(bus_, a_), (unsigned char)0x02);  // the relays stay as they were
    }

    void passwordReadableByOthers()
    {
        QProcess refused;
        refused.start(KESTRUNE_MQTT, {"--config", file("open.conf", "[broker]\npassword = s3cret\n", QFile::ReadOwner | QFile::ReadGroup)});
        QVERIFY(refused.waitForFinished() && refused.exitCode() == 1);
        const QByteArray said = refused.readAllStandardError();
        QVERIFY2(said.contains("readable by its owner only") && !said.contains("s3cret"), said.constData());
    }

    void tlsWithClientCertificate()
    {
        QProcess openssl;
        run(openssl, "sh", {"-c", R"(set -e; exec 2> openssl.log
            key() { n=$1 cn=$2; shift 2; openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout $n.key -subj /CN=$cn "$@"; }
            key ca kestrune-test-ca -x509 -days 1 -out ca.crt
            echo subjectAltName=IP:127.0.0.1 > san
            for who in server client; do key $who 127.0.0.1 -out $who.csr
            openssl x509 -req -in $who.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 1 -extfile san -out $who.crt; done)"});
        QVERIFY(openssl.waitForFinished() && openssl.exitCode() == 0);
        broker_.kill();
        broker_.waitForFinished();
        tls_ = QStringList{"--cafile", "ca.crt", "--cert", "client.crt", "--key", "client.key"};
        startBroker("cafile ca.crt\ncertfile server.crt\nkeyfile server.key\nrequire_certificate true\n");
        startDaemon("cafile = ca.crt\ncertfile = client.crt\nkeyfile = client.key\n", "tls");
        command("relay/4/set", "on", "01010000");
    }
};

QTEST_GUILESS_MAIN(MqttDaemonTest)
#include "test_mqtt_daemon.moc"
