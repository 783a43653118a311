// kestrune-mqtt on an emulated board when the network is slow: a name server
// that never answers while a pulse runs, and a listener that accepts the
// connection and never speaks MQTT. The broker is a real mosquitto on a free
// loopback port; nothing leaves 127.0.0.1.
#include "safety_monitor.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

class MqttNetworkTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    safety::MonitoredBus monitored_;
    int board_ = -1;
    const quint16 port_ = [] { QTcpServer free; return free.listen(QHostAddress::LocalHost) ? free.serverPort() : 0; }();
    QProcess broker_, daemon_;
    QByteArray log_;

    QString file(const QString& name, const QByteArray& text)
    {
        QFile f(dir_.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(text) == text.size() ? f.fileName() : QString();
    }
    // A tool without the emulation's preloads.
    bool tool(const char* program, const QStringList& arguments, QProcess& process)
    {
        process.setWorkingDirectory(dir_.path());
        process.start("env", QStringList{"-u", "LD_PRELOAD", "-u", "UMOCKDEV_DIR", program} + arguments);
        return process.waitForStarted();
    }
    // The daemon for board KM.0001 at host:port, through wrapper (a command
    // line that ends by running its arguments) when one is given.
    void startDaemon(const QByteArray& host, quint16 port, const QStringList& wrapper = {})
    {
        log_.clear();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_LOGGING_RULES", "kestrune.mqtt.debug=true");  // a line for each attempt
        daemon_.setProcessEnvironment(env);
        daemon_.setWorkingDirectory(dir_.path());
        const QString config = file("net.conf", "[broker]\nhost = " + host + "\nport = " + QByteArray::number(port) +
                                                    "\n[topics]\nbase = kt\nid = net\n[boards]\nserials = KM.0001\n");
        const QStringList command = wrapper + QStringList{KESTRUNE_MQTT, "--config", config};
        daemon_.start(command.first(), command.mid(1));
        QVERIFY(daemon_.waitForStarted());
    }
    // SIGTERM, and how long the daemon took to end by it.
    qint64 stop()
    {
        QElapsedTimer took;
        took.start();
        ::kill(static_cast<pid_t>(daemon_.processId()), SIGTERM);
        const bool ended = daemon_.waitForFinished(20000);
        [&] { QVERIFY2(ended && daemon_.exitStatus() == QProcess::NormalExit && daemon_.exitCode() == 0, log_.constData()); }();
        return took.elapsed();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(emulated_ftdi_available(), "run this test with umockdev's preload library");
        QVERIFY(port_ != 0);
        monitored_.start();
        board_ = emulated_ftdi_add_board(monitored_.get(), "KM.0001");
        connect(&daemon_, &QProcess::readyReadStandardError, this, [this] { log_ += daemon_.readAllStandardError(); });
        QVERIFY(tool(MOSQUITTO, {"-c", file("broker.conf", "listener " + QByteArray::number(port_) + " 127.0.0.1\nallow_anonymous true\n")},
                     broker_));
        QTRY_VERIFY([this] { QTcpSocket s; s.connectToHost(QHostAddress::LocalHost, port_); return s.waitForConnected(); }());
    }
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning("the daemon's log:\n%s", log_.constData());
        if (daemon_.state() != QProcess::NotRunning)
            daemon_.kill(), daemon_.waitForFinished();
        monitored_.finish({}, true);
    }
    void cleanupTestCase()
    {
        broker_.kill(), broker_.waitForFinished();
        monitored_.finish();
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
        QProcess sub;
        QVERIFY(tool(MOSQUITTO_SUB, {"-h", "127.0.0.1", "-p", QString::number(port_), "-t", "kt/KM_0001/availability"}, sub));
        startDaemon("kestrune-broker.test", port_, wrapper);
        QTRY_VERIFY2_WITH_TIMEOUT(sub.peek(1000).contains("online"), log_.constData(), 20000);
        sub.kill(), sub.waitForFinished();
        QVERIFY(file("hosts", "").endsWith("hosts"));  // in place: the daemon's bind mount sees it

        QProcess pub;
        monitored_.monitor->request();
        const qint64 asked = emulated_ftdi_now_us();
        QVERIFY(tool(MOSQUITTO_PUB, {"-h", "127.0.0.1", "-p", QString::number(port_), "-t", "kt/KM_0001/relay/1/set", "-m", "PULSE 3000"}, pub));
        QVERIFY(pub.waitForFinished(20000) && pub.exitCode() == 0);
        QTRY_COMPARE(emulated_ftdi_pins(monitored_.get(), board_), (unsigned char)0x01);
        monitored_.monitor->pulse({board_, 1, false, asked, 3000});
        broker_.kill(), broker_.waitForFinished();
        QTRY_VERIFY(log_.contains("lost the broker"));
        QTRY_VERIFY(log_.mid(log_.indexOf("lost the broker")).contains("connecting to"));  // the lookup that hangs
        QTRY_COMPARE_WITH_TIMEOUT(emulated_ftdi_pins(monitored_.get(), board_), (unsigned char)0x00, 6000);
        QVERIFY2(!log_.mid(log_.indexOf("lost the broker")).contains("cannot reach"), log_.constData());  // still looking
        QCOMPARE_LT(stop(), 1000);
        QCOMPARE(emulated_ftdi_pins(monitored_.get(), board_), (unsigned char)0x00);
    }

    // A listener that takes the connection and never answers: the daemon
    // says so after its 10 s, not after the keepalive, and tries again.
    void silentListener()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        const QByteArray broker = "127.0.0.1:" + QByteArray::number(silent.serverPort());
        const size_t written = emulated_ftdi_written(monitored_.get(), board_, nullptr, 0);
        QElapsedTimer took;
        took.start();
        startDaemon("127.0.0.1", silent.serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(log_.contains("the broker at " + broker + " accepted the connection but did not answer in 10 s; "
                                               "retrying every 1 to 30 s"), 25000);
        QVERIFY2(took.elapsed() > 5000 && !log_.contains("Unknown error"), log_.constData());
        QTRY_VERIFY_WITH_TIMEOUT(log_.count("connecting to") >= 2, 5000);
        QCOMPARE_LT(stop(), 1000);
        QCOMPARE(emulated_ftdi_written(monitored_.get(), board_, nullptr, 0), written);  // no board taken without the broker
    }
};

QTEST_GUILESS_MAIN(MqttNetworkTest)
#include "test_mqtt_network.moc"
