// One board's wait is no other board's: kestruned with three emulated
// boards on a broker of its own. A hoist changes over from fwd to rev under a
// 3 s dead time while a 500 ms pulse runs on a gate board and a program of
// short steps (50 ms; KESTRUNE_BENCH_TICK sets it) plays on a third.
// Measures, from the boards' timed histories, the pulse's length and the
// hoist's wait, and takes the program's lateness from the daemon's program
// state. Re-runs itself under umockdev-wrapper. Prints one summary line.
#include "emulated_bench.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <mosquitto.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "board_independence: %s\n", what);
    std::exit(1);
}

// The times (ms on the history's clock) of the writes to a board that
// changed the bits in mask, with the bits after each.
std::vector<std::pair<double, unsigned>> writes(const EmulatedFtdiBus* bus, int board, unsigned mask)
{
    std::vector<EmulatedFtdiEvent> events(emulated_ftdi_history(bus, board, nullptr, 0));
    events.resize(emulated_ftdi_history(bus, board, events.data(), events.size()));
    std::vector<std::pair<double, unsigned>> out;
    unsigned last = 0;
    for (const EmulatedFtdiEvent& e : events)
        if (e.cause == EMULATED_FTDI_WRITE && ((e.pins ^ last) & mask)) {
            out.emplace_back(double(e.time_us) / 1000.0, e.pins & mask);
            last = e.pins;
        }
    return out;
}

std::map<QByteArray, QByteArray> heard;
}  // namespace

int main(int argc, char* argv[])
{
    bench::runEmulated(argc, argv, "board_independence");
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const int port = bench::freePort();
    EmulatedFtdiBus* bus = emulated_ftdi_bus_new();
    const int gate = emulated_ftdi_add_board(bus, "GATE"), hoist = emulated_ftdi_add_board(bus, "HOIST");
    emulated_ftdi_add_board(bus, "PROG");
    const auto write = [&](const char* name, const QByteArray& text) {
        QFile file(dir.filePath(QString::fromLatin1(name)));
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            fail("cannot write the configuration");
        return file.fileName();
    };
    const QString brokerConf = write("broker.conf", "listener " + QByteArray::number(port) + " 127.0.0.1\nallow_anonymous true\n");
    const QString daemonConf = write("daemon.conf", "[broker]\nhost = 127.0.0.1\nport = " + QByteArray::number(port) +
                                                        "\n[topics]\nbase = kb\nid = bench\ndiscovery = false\n[boards]\nserials = GATE, HOIST, PROG\n");
    const QString boardsConf = write("boards.conf", "[board hoist]\nserial = HOIST\nrelay.7 = fwd\nrelay.8 = rev\n"
                                                    "interlock = fwd rev\ndead_time_ms = 3000\n");
    QProcess broker, daemon;
    QProcessEnvironment plain = QProcessEnvironment::systemEnvironment();
    plain.remove(QStringLiteral("LD_PRELOAD"));
    plain.remove(QStringLiteral("UMOCKDEV_DIR"));
    broker.setProcessEnvironment(plain);
    broker.start(QStringLiteral(MOSQUITTO), {QStringLiteral("-c"), brokerConf});
    daemon.setStandardOutputFile(QProcess::nullDevice());
    daemon.setStandardErrorFile(qEnvironmentVariable("KESTRUNE_BENCH_LOG", QProcess::nullDevice()));

    mosquitto_lib_init();
    mosquitto* client = mosquitto_new("kestrune-bench", true, nullptr);
    mosquitto_message_callback_set(client, [](mosquitto*, void*, const mosquitto_message* m) {
        heard[QByteArray(m->topic)] = QByteArray(static_cast<const char*>(m->payload), m->payloadlen);
    });
    const auto start = Clock::now();
    while (mosquitto_connect(client, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
        if (Clock::now() - start > std::chrono::seconds(10))
            fail("the broker does not start");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    mosquitto_subscribe(client, nullptr, "kb/#", 1);
    daemon.start(QStringLiteral(KESTRUNED), {QStringLiteral("--config"), daemonConf, QStringLiteral("--boards"), boardsConf});
    const auto wait = [&](std::chrono::milliseconds ms) {
        for (const auto until = Clock::now() + ms; Clock::now() < until;) {
            mosquitto_loop(client, 1, 1);
            QCoreApplication::processEvents();  // the emulated boards answer from this thread's event loop
        }
    };
    while (heard["kb/GATE/availability"] != "online" || heard["kb/hoist/availability"] != "online" ||
           heard["kb/PROG/availability"] != "online") {
        if (Clock::now() - start > std::chrono::seconds(20))
            fail("the daemon does not take the boards");
        wait(std::chrono::milliseconds(10));
    }
    const auto publish = [&](const char* topic, const QByteArray& payload) {
        if (mosquitto_publish(client, nullptr, topic, int(payload.size()), payload.constData(), 1, false) != MOSQ_ERR_SUCCESS)
            fail("publish failed");
    };
    publish("kb/hoist/relay/7/set", "ON");
    wait(std::chrono::milliseconds(3500));  // fwd on: its make waited the dead time once
    // An emulated board answers a write and its read-back in some 30 ms of
    // the daemon's time; KESTRUNE_BENCH_TICK=1 asks for 1 ms steps anyway.
    const int tick = qEnvironmentVariableIntValue("KESTRUNE_BENCH_TICK") > 0 ? qEnvironmentVariableIntValue("KESTRUNE_BENCH_TICK") : 50;
    QByteArray rows;
    for (int i = 0; i < 8; ++i)
        rows += QByteArray(8, '0').replace(i, 1, "1") + "-1\r\n";
    publish("kb/PROG/program/set", R"({"program": ")" + rows.replace("\r\n", "\\r\\n") + R"(", "tick_ms": )" +
                                       QByteArray::number(tick) + R"(, "repeat": true})");
    wait(std::chrono::milliseconds(200));
    publish("kb/hoist/relay/8/set", "ON");
    publish("kb/GATE/relay/1/set", "PULSE 500");
    wait(std::chrono::milliseconds(4000));
    publish("kb/PROG/program/control", "STOP");
    wait(std::chrono::milliseconds(300));
    const QJsonObject state = QJsonDocument::fromJson(heard["kb/PROG/program"]).object();

    daemon.terminate();
    daemon.waitForFinished();
    broker.terminate();
    broker.waitForFinished();
    mosquitto_destroy(client);
    mosquitto_lib_cleanup();
    const auto pulse = writes(bus, gate, 0x01), change = writes(bus, hoist, 0xC0);
    if (pulse.size() < 2 || change.size() < 3)
        fail("the pulse or the change-over did not reach the boards");
    const double made = change[2].first - change[1].first;  // fwd off to rev on
    std::printf("board_independence: a 500 ms pulse on one board lasted %.1f ms while a hoist on another waited its "
                "3000 ms dead time (made %.1f ms after the break); a program of %d ms steps on a third: %d steps, "
                "%d late, the latest %.2f ms\n",
                pulse[1].first - pulse[0].first, made, tick, state[QStringLiteral("steps")].toInt(), state[QStringLiteral("late")].toInt(),
                state[QStringLiteral("largest_late_ms")].toDouble());
    emulated_ftdi_bus_free(bus);
    return 0;
}
