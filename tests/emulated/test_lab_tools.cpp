// The test lab's tools, pdudaemon and labgrid as Debian ships them, switching
// an emulated board with the recipes of packaging/examples: the files are
// read as they are, with only the listener's port and the boards.conf path
// put in. The tools run under /usr/bin/python3 without the emulation's
// preloads; the kestrune-cli they find first in PATH is a script that gives
// the real one its preloads back. The monitor checks the board's history.
#include "fixture.h"
#include "safety_monitor.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QTcpServer>

using namespace fixture;

namespace {
// One method of the target's power driver; a command that failed ends it
// with status 1 and the exception labgrid raised.
const char* const LabgridCall = R"(import subprocess, sys
from labgrid import Environment
power = Environment(sys.argv[1]).get_target("main").get_driver("PowerProtocol")
try:
    getattr(power, sys.argv[2])()
except subprocess.CalledProcessError as error:
    sys.exit(f"labgrid raised: {error.cmd[0]} exited with {error.returncode}: {error.output.decode().strip()}")
)";

// Writes packaging/examples/NAME to file with what put names put in; empty,
// or why not. The README shows the recipe as it is, but for its comments.
QString placeRecipe(const QString& name, const QString& file, const QList<std::pair<QByteArray, QByteArray>>& put)
{
    QByteArray text = readFile(QStringLiteral(KESTRUNE_SOURCE "/packaging/examples/") + name);
    if (!readFile(KESTRUNE_SOURCE "/README.md").contains(QString::fromUtf8(text).remove(QRegularExpression("(?m)^#.*\n")).toUtf8()))
        return "the README does not show " + name + " as it is\n";
    for (const auto& [from, to] : put)
        text = text.contains(from) ? text.replace(from, to) : "";
    QFile out(file);
    return !text.isEmpty() && out.open(QIODevice::WriteOnly) && out.write(text) == text.size() ? QString() : "cannot place " + name + "\n";
}
}  // namespace

class LabToolsTest : public QObject {
    Q_OBJECT
    safety::MonitoredBus bus_;

private slots:
    void init() { bus_.start(); }
    void cleanup() { bus_.finish(); }

    // Board bench (KC-A, relay 3 named dut) starts at 11110000; then the
    // tool gets its requests in turn: pdudaemon over HTTP, labgrid one call
    // of its power driver each. pins: every pattern the board goes through
    // after that; gap: the last two changes at least that far apart (a
    // reboot's delay, a cycle's --for). "held": a program that cannot be
    // seen holds the board once it is set, so kestrune-cli fails. service
    // yes: kestruned holds the board, and kestrune-cli reaches it through
    // its control socket. err: a pattern found in what the tool said
    // (pdudaemon's log, where kestrune-cli's messages go too; labgrid's
    // stderr); none: kestrune-cli said nothing.
    void tools_data()
    {
        columns<QString, QString, QStringList, QString, QStringList, int, QString>(
            {"tool", "service", "requests", "during", "pins", "gap", "err"});
        const QString reboot = "reboot?hostname=bench&port=3&delay=1";
        const QString held = "kestrune-cli: board KC-A \\(port 1-1\\) is claimed by another program";
        for (const QString service : {"no", "yes"}) {
            const auto row = [&](const QString& name, QString tool, QStringList requests, QString during, QStringList pins, int gap = 0, QString err = {}) {
                if (service == "no" || during.isEmpty())
                    QTest::newRow(qPrintable(name + ", service " + service)) << tool << service << requests << during << pins << gap << err;
            };
            row("pdudaemon on, then reboot: off, the delay, on", "pdudaemon", {"on?hostname=bench&port=8", reboot}, {}, {"11110001", "11010001", "11110001"}, 1000);
            row("pdudaemon in its unit with the drop-in", "pdudaemon", {reboot}, "unit", {"11010000", "11110000"}, 1000);
            row("pdudaemon in its unit without the group plugdev", "pdudaemon", {reboot}, "unit-SupplementaryGroups=plugdev", {}, 0, "kestrune-cli: board KC-A \\(port 1-1\\) cannot be opened");
            row("pdudaemon in its unit without /run/lock", "pdudaemon", {reboot}, "unit-ReadWritePaths=/run/lock", {}, 0, "Read-only file system");
            row("labgrid off, on, cycle", "labgrid", {"off", "on", "cycle"}, {}, {"11010000", "11110000", "11010000", "11110000"}, 2000);
            row("labgrid raises when a command fails", "labgrid", {"cycle"}, "held", {}, 0, "^labgrid raised: kestrune-cli exited with 1: " + held);
        }
    }

    void tools()
    {
        const QString tool = fetch<QString>("tool"), during = fetch<QString>("during"), err = fetch<QString>("err");
        const QStringList requests = fetch<QStringList>("requests");
        const int gap = fetch<int>("gap");
        const EmulatedFtdiBoard bench{"KC-A", nullptr, nullptr, nullptr, "ttyUSB0"};
        QVERIFY(emulated_ftdi_add_board_with(bus_.get(), &bench) == 0);
        QTemporaryDir dir;
        const QString boards = dir.filePath("boards.conf"), bin = dir.filePath("bin"), real = QStringLiteral(KESTRUNE_CLI);
        writeFile(boards, "[board bench]\nserial = KC-A\nrelay.3 = dut\n");
        bus_.monitor->useBoards(boards);

        // The service's socket and holder list, for it and every kestrune-cli.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KESTRUNE_RUNTIME_DIR", dir.filePath("run"));
        env.insert("KESTRUNE_SOCKET", dir.filePath("run/control"));
        QProcess service, running;  // the tool first, then the service, stopped however the case ends
        const auto stop = qScopeGuard([&] {
            for (QProcess* p : {&running, &service})
                if (p->state() != QProcess::NotRunning && (p->terminate(), !p->waitForFinished(10000)))
                    p->kill(), p->waitForFinished();
        });
        if (fetch<QString>("service") == "yes") {
            QVERIFY(QDir().mkpath(dir.filePath("run")));
            writeFile(dir.filePath("kestruned.conf"), "[boards]\nserials = *\n");
            service.setProcessEnvironment(env);
            service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            service.start(KESTRUNED, {"--config", dir.filePath("kestruned.conf"), "--boards", boards});
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir.filePath("run/control")), 10000);
        }
        QProcess set;
        set.setProcessEnvironment(env);
        set.start(real, {"set", "11110000", "--name", "bench", "--boards", boards});
        QVERIFY(set.waitForFinished(20000));
        QVERIFY2(set.exitCode() == 0, set.readAllStandardError().constData());
        QCOMPARE(bus_.pins(0), "11110000");
        emulated_ftdi_set_held_elsewhere(bus_.get(), 0, during == "held");
        const qint64 mark = emulated_ftdi_now_us();

        // The tools see neither the test bed nor the preloads; kestrune-cli
        // gets them back from the script found first in PATH.
        QVERIFY(QDir().mkpath(bin));
        const QByteArray preloads = qgetenv("LD_PRELOAD"), bed = qgetenv("UMOCKDEV_DIR");
        writeFile(bin + "/kestrune-cli", "#!/bin/sh\nexport LD_PRELOAD='" + preloads + "' UMOCKDEV_DIR='" + bed + "'\nexec '" + real.toUtf8() + "' \"$@\"\n");
        QVERIFY(QFile::setPermissions(bin + "/kestrune-cli", QFile::ReadOwner | QFile::ExeOwner));
        for (const char* name : {"LD_PRELOAD", "UMOCKDEV_DIR", "KESTRUNE_TEST_PRELOAD"})
            env.remove(name);
        env.insert("PATH", bin + ':' + env.value("PATH"));

        const quint16 port = [] { QTcpServer free; return free.listen(QHostAddress::LocalHost) ? free.serverPort() : 0; }();
        const QByteArray etc = "/etc/kestrune/boards.conf";
        const QString conf = dir.filePath(tool == "pdudaemon" ? "pdudaemon.conf" : "labgrid-env.yaml");
        const QString why = placeRecipe("pdudaemon.conf", dir.filePath("pdudaemon.conf"), {{"\"port\": 16421", "\"port\": " + QByteArray::number(port)}, {etc, boards.toUtf8()}}) +
                            placeRecipe("labgrid-env.yaml", dir.filePath("labgrid-env.yaml"), {{etc, boards.toUtf8()}}) +
                            placeRecipe("pdudaemon-kestrune.conf", dir.filePath("drop-in.conf"), {});
        QVERIFY2(why.isEmpty(), qPrintable(why));

        running.setProcessEnvironment(env);
        running.setWorkingDirectory(dir.path());
        if (tool == "pdudaemon") {
            running.setProcessChannelMode(QProcess::MergedChannels);
            if (during.startsWith("unit")) {
                // Debian's unit with the drop-in (less the line named), as
                // systemd merges them, in a sandbox that makes the file
                // system and the user what the unit makes them.
                QFile uidMap("/proc/self/uid_map");
                if (!uidMap.open(QIODevice::ReadOnly) || uidMap.readAll().simplified() != "0 0 4294967295")
                    QSKIP("needs root outside a user namespace");
                QString unit = QString::fromUtf8(readFile("/lib/systemd/system/pdudaemon.service") + readFile(dir.filePath("drop-in.conf")));
                unit.replace(QRegularExpression("(?m)^ExecStart=.*$"), "ExecStart=/usr/sbin/pdudaemon --conf=" + conf);  // its log to stdout, not the journal
                if (during.contains(u'-'))
                    unit.remove(during.section(u'-', 1) + '\n');
                writeFile(dir.filePath("pdudaemon.service"), unit.toUtf8());
                // The boards' nodes as the udev rule leaves them (group plugdev may use them), and the case's files open to the service.
                QCOMPARE(QProcess::execute("sh", {"-c", "chgrp -R plugdev \"$0\" && chmod -R g+rwX,o+rX \"$0\" && chmod o+w \"$0\" && find \"$0\" -type s -exec chmod o+w {} + && chmod 755 \"$1\" \"$1/bin\" \"$1/bin/kestrune-cli\"", bed, dir.path()}), 0);
                QVERIFY(QDir(dir.path()).mkpath("state") && QDir(dir.path()).mkpath("credentials"));
                // The build tree stays in view where it lives under /tmp (a clone there).
                running.start(UNIT_SANDBOX, {dir.filePath("pdudaemon.service"), "64012", dir.filePath("state"), dir.filePath("credentials"), "/usr/sbin/pdudaemon", dir.path(), bed,
                                             QFileInfo(real).path()});
            } else {
                running.start("/usr/bin/python3", {"/usr/sbin/pdudaemon", "--conf", conf});
            }
            QByteArray log;
            const QByteArray listening = "Listening on 127.0.0.1:" + QByteArray::number(port);
            QTRY_VERIFY2_WITH_TIMEOUT((log += running.readAll()).contains(listening), log.constData(), 30000);
            // pdudaemon answers a request once it has run it, and answers 200
            // whatever kestrune-cli said: only the pins tell.
            QNetworkAccessManager web;
            web.setProxy(QNetworkProxy::NoProxy);  // loopback, whatever the environment names as a proxy
            for (const QString& request : requests) {
                const std::unique_ptr<QNetworkReply> answer(web.get(QNetworkRequest(QUrl(QString("http://127.0.0.1:%1/power/control/%2").arg(port).arg(request)))));
                QTRY_VERIFY_WITH_TIMEOUT(answer->isFinished(), 30000);
                QVERIFY2(answer->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200, (answer->readAll() + (log += running.readAll())).constData());
            }
            running.terminate();
            QVERIFY(running.waitForFinished(10000));
            log += running.readAll();
            QVERIFY2(err.isEmpty() ? !log.contains("kestrune-cli:") : QRegularExpression(err).match(QString::fromUtf8(log)).hasMatch(), log.constData());
        } else {
            for (const QString& request : requests) {
                const qint64 started = emulated_ftdi_now_us();
                running.start("/usr/bin/python3", {"-c", LabgridCall, conf, request});
                QVERIFY(running.waitForFinished(60000));
                const QString said = QString::fromUtf8(running.readAllStandardError());
                QVERIFY2(err.isEmpty() ? running.exitCode() == 0 && said.isEmpty() : running.exitCode() == 1 && said.contains(QRegularExpression(err)), qPrintable(request + ": " + said));
                if (request == "cycle")
                    bus_.monitor->pulse({0, 3, true, started, gap});
            }
        }

        // The patterns the board went through, and when.
        std::vector<EmulatedFtdiEvent> events(emulated_ftdi_history(bus_.get(), 0, nullptr, 0));
        events.resize(emulated_ftdi_history(bus_.get(), 0, events.data(), events.size()));
        QStringList pins;
        QList<qint64> at;
        for (size_t i = 1; i < events.size(); ++i)
            if (events[i].time_us > mark && events[i].pins != events[i - 1].pins)
                pins << QString(RelayPattern::toText(events[i].pins)), at << events[i].time_us;
        QCOMPARE(pins, fetch<QStringList>("pins"));
        if (gap) {
            const qint64 apart = (at.last() - at[at.size() - 2]) / 1000;
            QVERIFY2(apart >= gap && apart < gap + 10000, qPrintable(QString::number(apart) + " ms apart"));
        }
    }
};

QTEST_GUILESS_MAIN(LabToolsTest)
#include "test_lab_tools.moc"
