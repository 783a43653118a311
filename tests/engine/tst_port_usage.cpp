// Whether a USB device's serial ports are in use: fake sysfs, /proc and lock
// directories in a temporary folder, one device ("1-1.2") per case.
#include "engine/device/port_usage.h"
#include "fixture.h"

using namespace fixture;

class PortUsageTest : public QObject {
    Q_OBJECT
private slots:
    void check_data()
    {
        // tree: lines "dir/", "file = content" and "link -> target"; "@" stands for the root
        // message: "@" for the root; empty: not in use
        columns<QStringList, QStringList, QString>({"tree", "ports", "message"});
        const QString tty0 = QStringLiteral("sys/bus/usb/devices/1-1.2/1-1.2:1.0/ttyUSB0/");
        const QStringList one{QStringLiteral("ttyUSB0")};
        QTest::newRow("open in a visible process")
            << QStringList{tty0, "proc/1234/fd/0 -> /dev/null", "proc/1234/fd/3 -> @/dev/ttyUSB0",
                           "proc/1234/comm = minicom", "proc/99/fd/1 -> @/dev/ttyUSB7"}
            << one << "@/dev/ttyUSB0 is open in minicom (pid 1234)";
        QTest::newRow("locked by a live process") << QStringList{tty0, "lock/LCK..ttyUSB0 =       4321", "proc/4321/comm = cu"}
                                                  << one << "@/dev/ttyUSB0 is locked by cu (pid 4321)";
        QTest::newRow("stale lock") << QStringList{tty0, "lock/LCK..ttyUSB0 = 999999", "proc/4321/comm = cu"} << one << QString();
        QTest::newRow("lock naming nobody") << QStringList{tty0, "lock/LCK..ttyUSB0 = ???"} << one
                                            << "@/dev/ttyUSB0 is locked by another program";
        QTest::newRow("no tty: no driver bound")
            << QStringList{"sys/bus/usb/devices/1-1.2/1-1.2:1.0/", "proc/5/fd/3 -> @/dev/ttyUSB0", "lock/LCK..ttyUSB0 = 5"}
            << QStringList() << QString();
        QTest::newRow("two interfaces, second in use")
            << QStringList{tty0, "sys/bus/usb/devices/1-1.2/1-1.2:1.1/ttyUSB1/", "proc/77/fd/4 -> @/dev/ttyUSB1",
                           "proc/77/comm = log\x1b[2J\\ger"}
            << QStringList{"ttyUSB0", "ttyUSB1"} << "@/dev/ttyUSB1 is open in log\\x1b[2J\\\\ger (pid 77)";
        QTest::newRow("another device's port in use")
            << QStringList{tty0, "sys/bus/usb/devices/1-1.3/1-1.3:1.0/ttyUSB1/", "proc/6/fd/1 -> @/dev/ttyUSB1",
                           "lock/LCK..ttyUSB1 = 6"}
            << one << QString();
        QTest::newRow("unknown device") << QStringList{"sys/bus/usb/devices/"} << QStringList() << QString();
    }

    // The pid is the one the message names, 0 when it names none.
    void check()
    {
        QFETCH(QStringList, tree);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString root = dir.path();
        for (QString line : tree) {
            line.replace('@', root);
            const QString path = root + '/' + line.section(' ', 0, 0), link = line.section(" -> ", 1), text = line.section(" = ", 1);
            QVERIFY(QDir().mkpath(line.endsWith('/') ? path : QFileInfo(path).path()));
            QVERIFY(link.isEmpty() || QFile::link(link, path));
            if (!text.isEmpty())
                writeFile(path, text.toUtf8() + '\n');
        }
        const PortUsage usage(SystemRoots{root + "/sys", root + "/proc", root + "/dev", root + "/lock"});
        QTEST(usage.serialPorts(QStringLiteral("1-1.2")), "ports");
        const PortUse use = usage.check(QStringLiteral("1-1.2"));
        QCOMPARE(std::pair(use.inUse, use.message()), std::pair(!message.isEmpty(), QString(message).replace('@', root)));
        QCOMPARE(use.pid, message.section("(pid ", 1).section(')', 0, 0).toLongLong());
    }
};

QTEST_GUILESS_MAIN(PortUsageTest)
#include "tst_port_usage.moc"
