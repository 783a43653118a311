#pragma once

// What the tests share: data tables, working directories, files, and the
// process run as another user or with an /etc of its own.

#include "session/window_session.h"
#include "engine/device/relay_board.h"
#include "engine/device/simulated_library.h"

#include <QtTest>

#include <array>
#include <csignal>
#include <functional>
#include <grp.h>
#include <memory>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

namespace fixture {

using Bytes = std::vector<std::uint8_t>;
using Rows = std::vector<QByteArray>;

// A column of the current test data row, as a value.
template <typename T>
T fetch(const char* column)
{
    return *static_cast<T*>(QTest::qData(column, qMetaTypeId<T>()));
}

// Declares a data table's columns: columns<int, QString>({"pins", "ops"}).
template <typename... T>
void columns(const std::array<const char*, sizeof...(T)>& names)
{
    std::size_t i = 0;
    (QTest::addColumn<T>(names[i++]), ...);
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}
inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// boardsConf written as file; how: "link" a link to nothing there instead,
// "shut" the file in a folder of mode 0, that only root may search.
inline void placeBoardsConf(const QString& file, const QByteArray& boardsConf, const QString& how)
{
    QVERIFY(QDir().mkpath(QFileInfo(file).path()));
    if (how == "link")
        QVERIFY(QFile::link(file + ".gone", file));
    else
        writeFile(file, boardsConf);
    QVERIFY(how != "shut" || QFile::setPermissions(QFileInfo(file).path(), {}));
}

// The next start of process reads boardsConf as /etc/kestrune/boards.conf
// (placed as how says, "shut" running it as uid and gid 65534): an overlay
// on /etc, in a mount namespace of its own, lays dir/etc over it. False
// where that cannot be made (it needs root).
inline bool withEtcBoardsConf(QProcess& process, const QString& dir, const QByteArray& boardsConf, const QString& how)
{
    placeBoardsConf(dir + "/etc/kestrune/boards.conf", boardsConf, how);
    const QByteArray layers = "lowerdir=" + QFile::encodeName(dir) + "/etc:/etc";
    QProcess probe;
    for (QProcess* p : {&probe, &process})
        p->setChildProcessModifier([layers, ordinary = how == "shut"] {
            if (::unshare(CLONE_NEWNS) || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
                ::mount("overlay", "/etc", "overlay", MS_RDONLY, layers.constData()) ||
                (ordinary && (::setgroups(0, nullptr) || ::setgid(65534) || ::setuid(65534))))
                ::_exit(127);
        });
    probe.start(QStringLiteral("true"));
    if (probe.waitForFinished() && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0)
        return true;
    QFile::setPermissions(dir + "/etc/kestrune", QFile::Permissions(0x7755));  // to be removed with dir
    return false;
}

// A fresh working directory, entered while it lives.
struct WorkDir {
    QTemporaryDir dir;
    QString previous = QDir::currentPath();
    WorkDir() { QDir::setCurrent(dir.path()); }
    ~WorkDir() { QDir::setCurrent(previous); }
    QString file(const QString& name) const { return dir.filePath(name); }
};

// While it lives, files cannot grow beyond `bytes`: a full disk, for root too.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes) : handler(std::signal(SIGXFSZ, SIG_IGN))
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit small{bytes, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved), std::signal(SIGXFSZ, handler); }
    rlimit saved{};
    void (*handler)(int);
};

// Root may write any file, so a case about files that cannot be written runs
// again in a child as "nobody". Empty when it passed, "skip: ..." when it
// could not run.
inline QString runAsNobody(const char* testClass, const char* function)
{
    // A data row runs alone: "function:tag" on the command line, "function(tag)" when it passes.
    const QString self = QCoreApplication::applicationFilePath(), name = QString::fromLatin1(function);
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    const QString test = tag.isEmpty() ? name : name + ':' + tag, passed = tag.isEmpty() ? name : name + '(' + tag + ')';
    const QStringList nobody{"-u", "nobody", "--"};
    if (QProcess::execute("runuser", nobody + QStringList{"test", "-x", self}) != 0)
        return "skip: runuser -u nobody cannot run " + self;
    QProcess child;
    child.setWorkingDirectory("/tmp");
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start("runuser", nobody + QStringList{"env", "-u", "XDG_RUNTIME_DIR", "HOME=/tmp", "TMPDIR=/tmp", self, test});
    const bool finished = child.waitForFinished(60000);
    const QString output = QString::fromLocal8Bit(child.readAll());
    if (output.contains("SKIP   :"))
        return "skip: child as nobody skipped:\n" + output;
    const bool passes = output.contains("PASS   : " + QString::fromLatin1(testClass) + "::" + passed);
    return finished && child.exitCode() == 0 && passes ? QString() : "child as nobody failed:\n" + output;
}

}  // namespace fixture

// Runs the rest of the calling case as an ordinary user: as root, the case
// is handed to a child running as "nobody".
#define AS_ORDINARY_USER()                                                                         \
    if (::geteuid() == 0) {                                                                        \
        const QString outcome = fixture::runAsNobody(metaObject()->className(), QTest::currentTestFunction()); \
        if (outcome.startsWith(QLatin1String("skip: ")))                                           \
            QSKIP(qPrintable(outcome));                                                            \
        QVERIFY2(outcome.isEmpty(), qPrintable(outcome));                                          \
        return;                                                                                    \
    }
