#include "engine/device/board_lock.h"
#include "engine/device/holder_list.h"

#include "engine/printable.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {
struct Held {
    int fd;
    int count;
};
// The lock files this process holds; one thread switches boards.
QHash<QString, Held>& heldFiles()
{
    static QHash<QString, Held> files;
    return files;
}
// Opens the lock file for flock, which needs no write access: an existing
// file is opened read-only, whoever created it and whatever its mode, so
// fs.protected_regular (which refuses O_CREAT on another user's file in a
// sticky folder) never locks anyone out. Only a missing file is created, 0666
// whatever the umask. Anything but a regular file is refused, so that a FIFO
// planted in the folder cannot hang the open. Returns -1 with a reason.
int openLockFile(const QByteArray& name, QString& error)
{
    const auto fail = [&](const char* what) {
        error = QStringLiteral("cannot %1 the lock file %2: %3")
                    .arg(QLatin1String(what), QFile::decodeName(name), QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    };
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd < 0 && errno == EEXIST)
                continue; // another process created it first: open theirs
            if (fd >= 0 && ::fchmod(fd, 0666) != 0) {
                const int why = errno;
                ::close(fd);
                errno = why;
                return fail("set the mode of");
            }
        }
        if (fd < 0)
            return fail("open");
        struct stat st{};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            error = QStringLiteral("cannot use the lock file %1: it is not a regular file").arg(QFile::decodeName(name));
            return -1;
        }
        return fd;
    }
    errno = EEXIST;
    return fail("open");
}
// Who holds the flock on the file behind fd, from /proc/locks: "NAME (pid
// N)", or empty when it cannot be seen.
QString holderOf(int fd)
{
    struct stat st{};
    QFile locks(QStringLiteral("/proc/locks"));
    if (::fstat(fd, &st) != 0 || !locks.open(QIODevice::ReadOnly))
        return {};
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF": major and minor in hex, the inode in decimal.
    const QByteArray file = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':' + QByteArray::number(qulonglong(st.st_ino));
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields[1] != "FLOCK" || fields[5] != file)
            continue;
        QFile comm(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(fields[4])));
        const QString name = comm.open(QIODevice::ReadOnly) ? printableText(QString::fromLocal8Bit(comm.readAll().trimmed())) : QStringLiteral("a process");
        return QStringLiteral("%1 (pid %2)").arg(name, QString::fromLatin1(fields[4]));
    }
    return {};
}
}  // namespace

QString BoardLock::path(const QString& folder, const QString& port)
{
    return folder + QStringLiteral("/kestrune-") + port + QStringLiteral(".lock");
}

BoardLock::BoardLock(const QString& folder, const QString& port, int waitMs, const Waiting& waiting,
                     const std::function<bool()>& giveUp)
{
    if (folder.isEmpty() || port.isEmpty())
        return;
    const QString file = path(folder, port);
    if (const auto it = heldFiles().find(file); it != heldFiles().end()) {
        ++it->count;
        path_ = file;
        return;
    }
    if (port.contains(QLatin1Char('/')) || port.startsWith(QLatin1Char('.'))) {
        error_ = QStringLiteral("no lock file can be named after the port \"%1\"").arg(port);
        return;
    }
    const int fd = openLockFile(QFile::encodeName(file), error_);
    if (fd < 0)
        return;
    // flock has no timeout of its own: try, and sleep a little, until the deadline.
    const QDeadlineTimer deadline(waitMs);
    for (bool told = false; ::flock(fd, LOCK_EX | LOCK_NB) != 0; told = true) {
        const int why = errno;
        // The board service holds its boards for as long as it runs: no use waiting.
        if (const QString service = why == EWOULDBLOCK ? HolderList::holderOf(port) : QString(); !service.isEmpty()) {
            error_ = QStringLiteral("the board at port %1 is held by the board service %2").arg(port, service);
            ::close(fd);
            return;
        }
        if (why == EWOULDBLOCK && !told && waitMs > 0 && waiting) {
            const QString holder = holderOf(fd);
            waiting(QStringLiteral("the board at port %1 is being switched by %2: waiting up to %3 s")
                        .arg(port, holder.isEmpty() ? QStringLiteral("another program") : holder)
                        .arg(waitMs / 1000.0));
        }
        if ((why != EWOULDBLOCK && why != EINTR) || deadline.hasExpired()) {
            error_ = why == EWOULDBLOCK
                         ? QStringLiteral("the board at port %1 is busy: another program has been switching it "
                                          "for %2 s (lock file %3)")
                               .arg(port)
                               .arg(waitMs / 1000.0)
                               .arg(file)
                         : QStringLiteral("cannot lock %1: %2").arg(file, QString::fromLocal8Bit(std::strerror(why)));
            ::close(fd);
            return;
        }
        QThread::msleep(5);
        if (giveUp && giveUp()) {
            error_ = QStringLiteral("gave up waiting for the board at port %1").arg(port);
            ::close(fd);
            return;
        }
    }
    heldFiles().insert(file, Held{fd, 1});
    path_ = file;
}

BoardLock::~BoardLock()
{
    const auto it = heldFiles().find(path_);
    if (path_.isEmpty() || it == heldFiles().end() || --it->count > 0)
        return;
    ::close(it->fd); // closing the last descriptor lets go of the lock
    heldFiles().erase(it);
}
