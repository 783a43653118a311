// kestruned's control socket on emulated boards: 2,000 switches sent one at a
// time by a client of its own, each timed from the request to its "done"
// (requests a second, median and 99th percentile), then kestrune-cli "on 1"
// through the service beside kestrune-cli "on 1" on a board the service does
// not hold (opened directly), in turns, median of 20 each.
#include "bench_common.h"
#include "emulated_bench.h"

#include "engine/control/control_lines.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "control_latency: %s\n", what);
    std::exit(1);
}

// The next line of the client, waited for at most 5 s.
QJsonObject next(QLocalSocket& client)
{
    while (!client.canReadLine())
        if (!client.waitForReadyRead(5000))
            fail("the service did not answer");
    return QJsonDocument::fromJson(client.readLine()).object();
}

double cliMs(const QStringList& arguments)
{
    QProcess cli;
    QElapsedTimer took;
    took.start();
    cli.start(QStringLiteral(KESTRUNE_CLI), arguments);
    if (!cli.waitForFinished(10000) || cli.exitCode() != 0)
        fail("kestrune-cli failed");
    return double(took.nsecsElapsed()) / 1e6;
}
}  // namespace

int main(int argc, char* argv[])
{
    bench::runEmulated(argc, argv, "control_latency");
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    EmulatedFtdiBus* bus = emulated_ftdi_bus_new();
    if (!bus || emulated_ftdi_add_board(bus, "HELD-1") < 0 || emulated_ftdi_add_board(bus, "FREE-2") < 0)
        fail("no emulated boards");
    const QString socket = dir.filePath(QStringLiteral("control")), conf = dir.filePath(QStringLiteral("kestruned.conf"));
    QFile file(conf);
    QFile none(conf + QStringLiteral(".none"));  // no boards.conf
    if (!file.open(QIODevice::WriteOnly) || file.write("[boards]\nserials = HELD-1\n") < 0 || !none.open(QIODevice::WriteOnly))
        fail("cannot write the settings");
    file.close(), none.close();
    qputenv("KESTRUNE_SOCKET", socket.toUtf8());
    qputenv("KESTRUNE_RUNTIME_DIR", dir.path().toUtf8());
    QProcess service;
    service.setStandardErrorFile(qEnvironmentVariable("KESTRUNE_BENCH_LOG", QProcess::nullDevice()));
    service.start(QStringLiteral(KESTRUNED), {QStringLiteral("--config"), conf, QStringLiteral("--boards"), conf + QStringLiteral(".none")});
    for (int waited = 0; !QFileInfo::exists(socket); waited += 10)
        waited > 10000 ? fail("the service made no socket") : QThread::msleep(10);

    QLocalSocket client;
    client.connectToServer(socket);
    if (!client.waitForConnected(2000))
        fail("cannot connect");
    client.write(ControlLines::line({{QStringLiteral("id"), 1}, {QStringLiteral("op"), QStringLiteral("hello")}, {QStringLiteral("version"), ControlLines::Version}}));
    if (!next(client).value(QStringLiteral("ok")).toBool())
        fail("hello refused");
    std::vector<double> latencies;
    QElapsedTimer all;
    all.start();
    for (int id = 2; id < 2002; ++id) {
        QElapsedTimer one;
        one.start();
        client.write(ControlLines::line({{QStringLiteral("id"), id}, {QStringLiteral("op"), QStringLiteral("set")}, {QStringLiteral("port"), QStringLiteral("1-1")},
                                          {QStringLiteral("mask"), 0xFF}, {QStringLiteral("levels"), id % 255 + 1}}));
        while (next(client).value(QStringLiteral("event")).toString() != QLatin1String("done")) {
        }
        latencies.push_back(double(one.nsecsElapsed()) / 1e6);
    }
    const double seconds = double(all.nsecsElapsed()) / 1e9;
    client.disconnectFromServer();

    std::vector<double> through, direct;
    for (int run = 0; run < 20; ++run) {
        through.push_back(cliMs({QStringLiteral("on"), QStringLiteral("1"), QStringLiteral("--serial"), QStringLiteral("HELD-1")}));
        direct.push_back(cliMs({QStringLiteral("on"), QStringLiteral("1"), QStringLiteral("--serial"), QStringLiteral("FREE-2")}));
    }
    service.terminate();
    service.waitForFinished();
    std::printf("control_latency: socket %zu switches, %.0f a second, median %.3f ms, p99 %.3f ms; kestrune-cli on 1 "
                "through the service %.1f ms, directly %.1f ms (median of 20, under umockdev)\n",
                latencies.size(), double(latencies.size()) / seconds, bench::percentile(latencies, 0.5),
                bench::percentile(latencies, 0.99), bench::percentile(through, 0.5), bench::percentile(direct, 0.5));
    emulated_ftdi_bus_free(bus);
    return 0;
}
