#pragma once

// What several benchmarks share. Qt Core only: the benchmarks that show a
// window include the widgets themselves.
#include "session/window_session.h"
#include "engine/device/simulated_library.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <vector>

namespace bench {

// Runs offscreen unless a platform or a display was chosen.
inline void preferOffscreen()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// Resident memory of this process in MB.
inline double residentMB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

// A fresh working directory, entered for the benchmark's lifetime.
class WorkDir {
public:
    WorkDir() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }
    ~WorkDir() { QDir::setCurrent(previous_); }
    QString file(const QString& name) const { return dir_.filePath(name); }

private:
    QString previous_;
    QTemporaryDir dir_;
};

// A window session on simulated boards without any window: its timer drives
// its tick handler, as the window wires it, and raised errors are counted.
struct SessionRig {
    explicit SessionRig(int boards)
    {
        for (int i = 0; i < boards; ++i)
            library.addBoard();
        session = std::make_unique<WindowSession>(library);
        WindowSession* s = session.get();
        QObject::connect(s, &WindowSession::errorRaised, [this] { ++errors; });
        QObject::connect(&s->tickTimer, &TickTimer::timeout, s, [s] { s->guarded([s] { s->tick(); }); });
        s->guarded([s] { s->startUp(); });
    }
    ~SessionRig() { session->tickTimer.setEnabled(false); }

    SimulatedLibrary library;
    std::unique_ptr<WindowSession> session;
    int errors = 0;
};

}  // namespace bench
