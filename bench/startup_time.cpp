// Time from process start to the main window first shown, and resident
// memory then, for the real and the demo configurations (median of runs).
#include "bench_common.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>

namespace {
struct Sample {
    double ms = 0;
    double mb = 0;
};

Sample runOnce(const QString& mode, const QString& workDir)
{
    QProcess probe;
    probe.setWorkingDirectory(workDir);
    const auto t0 = std::chrono::steady_clock::now();
    probe.start(QStringLiteral(STARTUP_PROBE), {mode});
    if (!probe.waitForReadyRead(10000))
        return {};
    const QByteArray line = probe.readLine();
    const auto t1 = std::chrono::steady_clock::now();
    probe.waitForFinished(5000);
    Sample s;
    s.ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
    s.mb = line.split(' ').value(1).trimmed().toDouble();
    return s;
}

Sample median(const QString& mode, const QString& workDir, int runs)
{
    std::vector<double> ms, mb;
    for (int i = 0; i < runs; ++i) {
        const Sample s = runOnce(mode, workDir);
        ms.push_back(s.ms);
        mb.push_back(s.mb);
    }
    return {bench::percentile(ms, 0.5), bench::percentile(mb, 0.5)};
}
}  // namespace

int main(int argc, char* argv[])
{
    bench::preferOffscreen();
    QCoreApplication app(argc, argv);
    QTemporaryDir work;
    runOnce(QStringLiteral("--demo"), work.path());  // warm the file cache
    const Sample real = median(QStringLiteral("--real"), work.path(), 7);
    const Sample demo = median(QStringLiteral("--demo"), work.path(), 7);
    std::printf("startup_time: kestrune %.0f ms %.1f MB, kestrune-demo %.0f ms %.1f MB "
                "(median of 7, platform %s)\n",
                real.ms, real.mb, demo.ms, demo.mb,
                qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("xcb")).toLatin1().constData());
    return 0;
}
