#pragma once

// What the tests share: working directories, files, the process, and a
// window session on simulated boards without any window.

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

inline Rows rowsOf(const QStringList& rows)
{
    Rows out;
    for (const QString& r : rows)
        out.push_back(r.toLatin1());
    return out;
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

// A window session on simulated boards, in a working directory of its own,
// with its pauses recorded instead of slept (they move its clock on, `now`);
// `prepare` runs in that directory;
// boards.conf is read from boardsFile there (none: the system's).
struct SessionRig {
    explicit SessionRig(int boards = 1, std::function<void(SimulatedLibrary&)> prepare = {}, const QString& boardsFile = {})
    {
        for (int i = 0; i < boards; ++i)
            library.addBoard();
        if (prepare)
            prepare(library);
        s = std::make_unique<WindowSession>(library);
        if (!boardsFile.isEmpty())
            s->boardsFile = boardsFile;
        s->pause = [this](int ms) { pauses << ms, now += ms; };
        s->clock = [this] { return now; };
        QObject::connect(s.get(), &WindowSession::errorRaised, [this](const QString& e) { errors << e; });
        s->guarded([this] { s->startUp(); });
        now += 10'000;  // the operator's first action, a while after start-up
    }
    ~SessionRig() { s->tickTimer.setEnabled(false); }

    // Rows as an opened file puts them: row 0 current, nothing loaded.
    void program(const QStringList& rows) { s->program.replaceAll(rowsOf(rows)); }
    QStringList rows() const
    {
        QStringList out;
        for (int i = 0; i < s->program.count(); ++i)
            out << (i == s->currentRow() ? QStringLiteral(">") : QString()) + QString::fromLatin1(s->program.text(i));
        return out;
    }
    template <typename F>
    void run(F&& handler) { s->guarded(std::forward<F>(handler)); }
    // One operator action: m3 (relay 3's manual button), b3 (its step bar), on,
    // off, pick2, add, clear, clearall, start (or Stop), pause (or Resume),
    // tick, up (an up-down arrow), type50 (into the timer value), open (next.txt).
    void act(const QString& op)
    {
        using W = WindowSession;
        static const QHash<QString, void (W::*)()> plain{
            {"on", &W::allOn}, {"off", &W::allOff}, {"add", &W::addRow}, {"clear", &W::clearLastRow},
            {"clearall", &W::clearAllRows}, {"start", &W::startOrStop}, {"pause", &W::pauseOrResume},
            {"resume", &W::pauseOrResume}, {"tick", &W::tick}};
        W& w = *s;
        const int n = op.right(1).toInt();
        run([&] {
            if (plain.contains(op)) (w.*plain[op])();
            else if (op[0] == 'm') w.toggleRelay(n);
            else if (op[0] == 'b') w.toggleStepBar(n);
            else if (op.startsWith("pick")) w.pickRow(n);
            else if (op == "up") w.stepTimerValue(1);
            else if (op.startsWith("type")) w.editTimerValue(op.mid(4));
            else QCOMPARE(w.openProgram(QStringLiteral("next.txt")), QString());
        });
    }
    Bytes writes(int board = 0) const { return library.writes(board); }

    // One word per view, one character per relay: the manual captions
    // (1 = the turn-off label shows, 0 = the turn-on label, ? = neither),
    // the step bars (1 = raised), the lamps (1 = on, 0 = off,
    // - = unlit), then the step bar captions the same way as the manual ones.
    QString views() const
    {
        QString captions, bars, lamps, barCaptions;
        for (int r = 1; r <= 8; ++r) {
            const auto i = static_cast<std::size_t>(r);
            auto which = [&](const QString& c) {
                return c == labelText(s->labels.turnOff(r)) ? '1' : c == labelText(s->labels.turnOn(r)) ? '0' : '?';
            };
            captions += QLatin1Char(which(s->captions[i]));
            barCaptions += QLatin1Char(which(s->barCaptions[i]));
            bars += QLatin1Char(s->barsRaised[i] ? '1' : '0');
            lamps += QLatin1Char(s->indicators[i] == Lamp::On ? '1' : s->indicators[i] == Lamp::Off ? '0' : '-');
        }
        return QStringList{captions, bars, lamps, barCaptions}.join(QLatin1Char(' '));
    }
    // The runner as the window shows it: timer value, rows, run state.
    QString run() const
    {
        static const char* const states[] = {"stopped", "running", "paused"};
        return QStringLiteral("%1 | %2 | %3")
            .arg(s->timerValue, rows().join(QLatin1Char(' ')),
                 QLatin1String(states[static_cast<int>(s->runner.state())]));
    }

    WorkDir work;  // entered before the session starts
    SimulatedLibrary library;
    std::unique_ptr<WindowSession> s;
    QStringList errors;
    QList<int> pauses;
    qint64 now = 0;
};

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
