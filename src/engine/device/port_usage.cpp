#include "engine/device/port_usage.h"
#include "engine/printable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// The target of a symbolic link exactly as stored; empty when it is none.
QString linkTarget(const QString& path)
{
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return length > 0 ? QFile::decodeName(QByteArray(buffer, int(length))) : QString();
}

QByteArray readSmallFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(256) : QByteArray();
}

} // namespace

QString PortUse::message() const
{
    if (!inUse)
        return {};
    const QString verb = locked ? QStringLiteral("is locked by") : QStringLiteral("is open in");
    if (!process.isEmpty())
        return QStringLiteral("%1 %2 %3 (pid %4)").arg(port, verb, process).arg(pid);
    if (pid > 0)
        return QStringLiteral("%1 %2 process %3").arg(port, verb).arg(pid);
    return QStringLiteral("%1 is locked by another program").arg(port);
}

PortUsage::PortUsage(SystemRoots roots)
    : roots_(std::move(roots))
{
}

QStringList PortUsage::serialPorts(const QString& usbDevice) const
{
    if (usbDevice.isEmpty() || usbDevice.contains(QLatin1Char('/')) || usbDevice.startsWith(QLatin1Char('.')))
        return {};
    const QDir device(roots_.sys + QStringLiteral("/bus/usb/devices/") + usbDevice);
    QStringList ports;
    const QStringList interfaces =
        device.entryList({usbDevice + QStringLiteral(":*")}, QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& interface : interfaces)
        ports += QDir(device.filePath(interface))
                     .entryList({QStringLiteral("ttyUSB*")}, QDir::Dirs | QDir::NoDotAndDotDot);
    ports.sort();
    return ports;
}

PortUse PortUsage::check(const QString& usbDevice) const
{
    const QStringList ttys = serialPorts(usbDevice);
    if (ttys.isEmpty())
        return {};
    QStringList nodes;
    for (const QString& tty : ttys)
        nodes += roots_.dev + QLatin1Char('/') + tty;
    const QList<PortUse> users = openIn(nodes, false);
    PortUse use = users.value(0);
    for (qsizetype i = 0; !use.inUse && i < ttys.size(); ++i)
        use = lockedBy(ttys.at(i));
    return use;
}

QList<PortUse> PortUsage::openers(const QString& node) const
{
    return openIn({node}, true);
}

// Looks through the open files of every process this user may look into. A
// file is a node when its link names the node, or when both are the same
// file (the name a process opened may differ from the node's path).
QList<PortUse> PortUsage::openIn(const QStringList& nodes, bool all) const
{
    std::vector<std::pair<dev_t, ino_t>> identities;
    for (const QString& node : nodes)
        if (struct stat s{}; ::stat(QFile::encodeName(node).constData(), &s) == 0)
            identities.emplace_back(s.st_dev, s.st_ino);
    const auto isNode = [&](const QString& fd, const QString& target) {
        struct stat s{};
        return nodes.contains(target) ||
               (!identities.empty() && target.startsWith(QLatin1Char('/')) &&
                ::stat(QFile::encodeName(fd).constData(), &s) == 0 &&
                std::find(identities.begin(), identities.end(), std::pair(s.st_dev, s.st_ino)) != identities.end());
    };
    QList<PortUse> users;
    const QDir proc(roots_.proc);
    const QStringList entries = proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric || pid <= 0 || (all && pid == ::getpid()))
            continue;
        const QDir fds(proc.filePath(entry + QStringLiteral("/fd")));
        // Unreadable for other users' processes: entryList is then empty.
        const QStringList files = fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        for (const QString& fd : files) {
            const QString target = linkTarget(fds.filePath(fd));
            if (!isNode(fds.filePath(fd), target))
                continue;
            users.append(PortUse{true, nodes.contains(target) ? target : nodes.first(), processName(pid), pid, false});
            if (!all)
                return users;
            break;
        }
    }
    return users;
}

PortUse PortUsage::lockedBy(const QString& tty) const
{
    const QString lockFile = roots_.lock + QStringLiteral("/LCK..") + tty;
    if (!QFileInfo::exists(lockFile))
        return {};
    const QString node = roots_.dev + QLatin1Char('/') + tty;
    bool numeric = false;
    const qint64 pid = readSmallFile(lockFile).trimmed().toLongLong(&numeric);
    if (!numeric || pid <= 0)
        return PortUse{true, node, QString(), 0, true}; // someone holds it; who is unknown
    if (!alive(pid))
        return {}; // stale: its process is gone
    return PortUse{true, node, processName(pid), pid, true};
}

bool PortUsage::alive(qint64 pid) const
{
    if (QFileInfo::exists(roots_.proc + QLatin1Char('/') + QString::number(pid)))
        return true;
    // /proc may hide other users' processes (hidepid); the kernel still
    // tells whether one exists.
    if (roots_.proc != SystemRoots().proc || pid > INT_MAX)
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

QString PortUsage::processName(qint64 pid) const
{
    // Any process may name itself: escaped, the name cannot reach a
    // terminal or a log as control characters.
    QByteArray comm = readSmallFile(roots_.proc + QLatin1Char('/') + QString::number(pid) + QStringLiteral("/comm"));
    if (comm.endsWith('\n'))
        comm.chop(1);
    return printableText(QString::fromLocal8Bit(comm));
}
