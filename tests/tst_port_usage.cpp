// Whether a USB device's serial ports are in use: fake sysfs, /proc and lock
// directories in a temporary folder, one device ("1-1.2") per case.
#include "boardlink/port_usage.h"

#include <QtTest>

namespace {
// Builds a tree under root from lines "dir/", "file = content" and
// "link -> target"; "@" stands for root.
bool build(const QString& root, const QStringList& tree)
{
    for (QString line : tree) {
        line.replace(QLatin1Char('@'), root);
        const QString path = root + QLatin1Char('/') + line.section(QLatin1Char(' '), 0, 0);
        if (!QDir().mkpath(line.endsWith(QLatin1Char('/')) ? path : QFileInfo(path).path()))
            return false;
        if (line.contains(QStringLiteral(" -> ")) && !QFile::link(line.section(QStringLiteral(" -> "), 1), path))
            return false;
        QFile file(path);
        if (line.contains(QStringLiteral(" = ")) &&
            !(file.open(QIODevice::WriteOnly) && file.write(line.section(QStringLiteral(" = "), 1).toUtf8() + '\n') > 0))
            return false;
    }
    return true;
}

const QString tty0 = QStringLiteral("sys/bus/usb/devices/1-1.2/1-1.2:1.0/ttyUSB0/");
} // namespace

class PortUsageTest : public QObject {
    Q_OBJECT
private slots:
    void check_data()
    {
        QTest::addColumn<QStringList>("tree");
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QString>("message"); // "@" for the root; empty: not in use
        QTest::addColumn<qint64>("pid");

        const QStringList one{QStringLiteral("ttyUSB0")};
        QTest::newRow("open in a visible process")
            << QStringList{tty0, "proc/1234/fd/0 -> /dev/null", "proc/1234/fd/3 -> @/dev/ttyUSB0",
                           "proc/1234/comm = minicom", "proc/99/fd/1 -> @/dev/ttyUSB7"}
            << one << "@/dev/ttyUSB0 is open in minicom (pid 1234)" << qint64(1234);
        QTest::newRow("locked by a live process")
            << QStringList{tty0, "lock/LCK..ttyUSB0 =       4321", "proc/4321/comm = cu"}
            << one << "@/dev/ttyUSB0 is locked by cu (pid 4321)" << qint64(4321);
        QTest::newRow("stale lock") << QStringList{tty0, "lock/LCK..ttyUSB0 = 999999", "proc/4321/comm = cu"}
                                    << one << QString() << qint64(0);
        QTest::newRow("lock naming nobody") << QStringList{tty0, "lock/LCK..ttyUSB0 = ???"}
                                            << one << "@/dev/ttyUSB0 is locked by another program" << qint64(0);
        QTest::newRow("no tty: no driver bound")
            << QStringList{"sys/bus/usb/devices/1-1.2/1-1.2:1.0/", "proc/5/fd/3 -> @/dev/ttyUSB0",
                           "lock/LCK..ttyUSB0 = 5"}
            << QStringList() << QString() << qint64(0);
        QTest::newRow("two interfaces, second in use")
            << QStringList{tty0, "sys/bus/usb/devices/1-1.2/1-1.2:1.1/ttyUSB1/", "proc/77/fd/4 -> @/dev/ttyUSB1",
                           "proc/77/comm = logger"}
            << QStringList{"ttyUSB0", "ttyUSB1"} << "@/dev/ttyUSB1 is open in logger (pid 77)" << qint64(77);
        QTest::newRow("another device's port in use")
            << QStringList{tty0, "sys/bus/usb/devices/1-1.3/1-1.3:1.0/ttyUSB1/", "proc/6/fd/1 -> @/dev/ttyUSB1",
                           "lock/LCK..ttyUSB1 = 6"}
            << one << QString() << qint64(0);
        QTest::newRow("unknown device") << QStringList{"sys/bus/usb/devices/"} << QStringList() << QString()
                                        << qint64(0);
    }

    void check()
    {
        QFETCH(QStringList, tree);
        QFETCH(QStringList, ports);
        QFETCH(QString, message);
        QFETCH(qint64, pid);
        QTemporaryDir dir;
        const QString root = dir.path();
        QVERIFY(build(root, tree));
        const PortUsage usage(SystemRoots{root + "/sys", root + "/proc", root + "/dev", root + "/lock"});

        QCOMPARE(usage.serialPorts(QStringLiteral("1-1.2")), ports);
        const PortUse use = usage.check(QStringLiteral("1-1.2"));
        QCOMPARE(use.inUse, !message.isEmpty());
        QCOMPARE(use.message(), QString(message).replace(QLatin1Char('@'), root));
        QCOMPARE(use.pid, pid);
    }
};

QTEST_GUILESS_MAIN(PortUsageTest)
#include "tst_port_usage.moc"
