// The service's control socket on simulated boards: what a client says and
// what it is answered, the limits that drop one client while the others go
// on, and a program that lives as long as its connection.
#include "fixture.h"

#include "mqtt/control_server.h"

#include <QLocalSocket>

using namespace fixture;

class ControlTest : public QObject {
    Q_OBJECT
    std::unique_ptr<WorkDir> work_;

private slots:
    void init() { work_.reset(), work_ = std::make_unique<WorkDir>(); }

    // Each row is a script, one step a line, on clients 1 and 2 (">" is
    // client 1's, ">2" client 2's):
    //   >[2] JSON           a line sent            raw TEXT      bytes sent as they are
    //   <[2] TEXT           a line it gets contains TEXT (in order; others may come between)
    //   big N               N bytes of one line that never ends, sent by client 1
    //   closed[2]           the service dropped the client     close   client 1 hangs up
    //   wait MS             time passes            pins HEX      board 1's pins now
    //   still MS            nothing is written to board 1 for MS
    // Board 1 is at port 1-1, with fwd (7) and rev (8) interlocked, 5 s dead time; the
    // limits: 2 connections, 4 KiB unread, 300 ms stalled, 300 ms half-sent.
    void script_data()
    {
        columns<QString>({"script"});
        const QString hello = "> {\"id\":1,\"op\":\"hello\",\"version\":1}\n< \"ok\":true\n";
        QTest::newRow("hello first") << "> {\"id\":1,\"op\":\"get\",\"port\":\"1-1\"}\n< \"code\":\"version\"\n" + hello + "> {\"id\":2,\"op\":\"get\",\"port\":\"1-1\"}\n< \"pins\":\"00000000\"";
        QTest::newRow("another version") << "> {\"id\":1,\"op\":\"hello\",\"version\":2}\n< \"code\":\"version\",\"error\":\"this service speaks version 1 of the protocol\"";
        QTest::newRow("garbage, then on") << hello + "raw \\x00\\xff{{{\\x0a\n< \"code\":\"bad\"\n> {\"op\":\"get\"}\n< an \\\"id\\\"\n> {\"id\":3,\"op\":\"set\",\"port\":\"1-1\",\"mask\":256,\"levels\":1}\n< \"code\":\"bad\"\n"
                                                     "> {\"id\":4,\"op\":\"get\",\"port\":\"9-9\"}\n< \"code\":\"unheld\"\n> {\"id\":5,\"op\":\"set\",\"port\":\"1-1\",\"mask\":1,\"levels\":1}\n< \"id\":5,\"ok\":true\n< \"event\":\"done\",\"id\":5\npins 01";
        QTest::newRow("the board's rules") << hello + "> {\"id\":2,\"op\":\"set\",\"port\":\"1-1\",\"mask\":192,\"levels\":192}\n< \"code\":\"refused\",\"error\":\"refused: relays 7, 8 are interlocked";
        QTest::newRow("a 10 MB line") << hello + ">2 {\"id\":1,\"op\":\"hello\",\"version\":1}\n<2 \"ok\":true\nbig 10000000\nclosed\n>2 {\"id\":2,\"op\":\"get\",\"port\":\"1-1\"}\n<2 \"pins\"";
        QTest::newRow("half a line, then nothing") << hello + "raw {\"id\":2,\nwait 700\nclosed\n>2 {\"id\":1,\"op\":\"hello\",\"version\":1}\n<2 \"ok\":true";
        QTest::newRow("a client that never reads") << hello + "flood\nwait 700\nclosed\n>2 {\"id\":1,\"op\":\"hello\",\"version\":1}\n<2 \"ok\":true";
        QTest::newRow("two clients at most") << hello + ">2 {\"id\":1,\"op\":\"hello\",\"version\":1}\n<2 \"ok\":true\nthird";
        QTest::newRow("a make finished away, another pulse running") << hello + "> {\"id\":2,\"op\":\"pulse\",\"port\":\"1-1\",\"ms\":[9000,0,0,0,0,0,0,0]}\n"
            "> {\"id\":4,\"op\":\"set\",\"port\":\"1-1\",\"mask\":64,\"levels\":64}\n< \"id\":4,\"ok\":true\n> {\"id\":5,\"op\":\"finish\",\"of\":4}\n< \"event\":\"done\",\"id\":4\npins 01";
        QTest::newRow("a pulse outlives its client") << hello + "> {\"id\":2,\"op\":\"pulse\",\"port\":\"1-1\",\"cycle\":false,\"ms\":[200,0,0,0,0,0,0,0]}\n< \"ok\":true\nclose\npins 01\nwait 400\npins 00";
        QTest::newRow("a program lives with its client") << hello + "> {\"id\":2,\"op\":\"play\",\"port\":\"1-1\",\"tick\":10,\"repeat\":true,\"off_at_end\":true,\"rows\":[\"10000000-5\"],\"more\":true}\n"
                                                            "> {\"id\":3,\"op\":\"rows\",\"of\":2,\"rows\":[\"01000000-5\"],\"more\":false}\n< \"id\":2,\"ok\":true\n< \"event\":\"step\"\nclose\npins 00\nstill 100";
        QTest::newRow("and stops with it") << hello + "> {\"id\":2,\"op\":\"play\",\"port\":\"1-1\",\"tick\":5,\"repeat\":true,\"rows\":[\"10000000-1\",\"01000000-1\"],\"more\":false}\n"
                                              "< \"event\":\"step\"\nclose\nwait 20\nstill 100";
        QTest::newRow("a program stopped, its end") << hello + "> {\"id\":2,\"op\":\"play\",\"port\":\"1-1\",\"tick\":10,\"steps\":false,\"rows\":[\"10000000-100\"],\"more\":false}\n< \"id\":2,\"ok\":true\n"
                                                       "> {\"id\":3,\"op\":\"stop\",\"of\":2}\n< \"steps\":1,\"summary\":\"1 steps, ";
        QTest::newRow("a row the rules refuse") << hello + "> {\"id\":2,\"op\":\"play\",\"port\":\"1-1\",\"tick\":1,\"rows\":[\"00000011-5\",\"11000000-5\"],\"more\":false}\n< \"code\":\"refused\"";
    }
    void script()
    {
        SimulatedLibrary library;
        library.addBoard();
        BoardService service(library, {{"*"}, BoardsConf::parse("b.conf", "[board hoist]\nport = 1-1\ninterlock = 7 8\ndead_time_ms = 5000\n"), 2000, {}, {}, {}, {}});
        service.start();
        ControlServer server(service, {2, 4096, 300, 300});
        const QString path = QDir::current().filePath("control");
        QCOMPARE(server.listen(path, ControlServer::plugdev()), QString());
        QCOMPARE(QFileInfo(path).permissions() & 0x0fff, QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup | QFile::WriteGroup);
        QLocalSocket clients[3];
        for (QLocalSocket& client : clients) {
            client.connectToServer(path);
            QVERIFY(client.waitForConnected());
        }
        const auto next = [](QLocalSocket& client) {
            for (QDeadlineTimer deadline(3000); !client.canReadLine() && !deadline.hasExpired();)
                QTest::qWait(5);
            return client.canReadLine() ? client.readLine() : QByteArray();
        };
        for (const QString& step : fetch<QString>("script").split('\n')) {
            QLocalSocket& client = clients[step.section(' ', 0, 0).endsWith('2') ? 1 : 0];
            const QString word = step.section(' ', 0, 0), rest = step.section(' ', 1);
            if (step.startsWith('>'))
                client.write(rest.toUtf8() + '\n');
            else if (word == "raw")
                client.write(QByteArray::fromPercentEncoding(rest.toUtf8().replace("\\x", "%")));
            else if (step.startsWith('<')) {
                QByteArray line;
                do
                    line = next(client);
                while (!line.isEmpty() && !line.contains(rest.toUtf8()));
                QVERIFY2(!line.isEmpty(), qPrintable(step));
            } else if (word == "big")
                for (int sent = 0; sent < rest.toInt(); sent += 1 << 16)
                    client.write(QByteArray(1 << 16, 'x')), QCoreApplication::processEvents();
            else if (word == "flood") {  // asks, and reads no more
                client.setReadBufferSize(1);
                for (int id = 10; id < 20000; ++id)
                    client.write("{\"id\":" + QByteArray::number(id) + ",\"op\":\"get\",\"port\":\"1-1\"}\n");
            }
            else if (word == "third")
                QVERIFY(next(clients[2]).contains("\"code\":\"busy\""));
            else if (word.startsWith("closed"))
                QTRY_VERIFY(client.state() == QLocalSocket::UnconnectedState);
            else if (word == "close")
                client.disconnectFromServer();
            else if (word == "wait")
                QTest::qWait(rest.toInt());
            else if (word == "still") {
                const std::size_t writes = library.writes(0).size();
                QTest::qWait(rest.toInt());
                QCOMPARE(library.writes(0).size(), writes);
            } else if (word == "pins")
                QTRY_COMPARE(library.pins(0), std::uint8_t(rest.toInt(nullptr, 16)));
            client.flush();
        }
        server.close();
        QVERIFY(!QFileInfo::exists(path));
    }
};

QTEST_GUILESS_MAIN(ControlTest)
#include "tst_control.moc"
