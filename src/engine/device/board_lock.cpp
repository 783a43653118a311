#include "engine/device/board_lock.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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
}  // namespace

QString BoardLock::path(const QString& folder, const QString& port)
{
    return folder + QStringLiteral("/kestrune-") + port + QStringLiteral(".lock");
}

BoardLock::BoardLock(const QString& folder, const QString& port, int waitMs)
{
    if (port.isEmpty())
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
    const QByteArray name = QFile::encodeName(file);
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        error_ = QStringLiteral("cannot open the lock file %1: %2").arg(file, QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    ::fchmod(fd, 0666); // the umask took bits away; a file of another user stays as it is
    // flock has no timeout of its own: try, and sleep a little, until the deadline.
    const QDeadlineTimer deadline(waitMs);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
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
