// kestruned end to end: its own mosquitto broker on a free loopback port,
// the real daemon on libftdi1 against two emulated boards, and this program
// as the MQTT client. Measures the time from publishing a state command to
// its byte reaching the emulated board (1,000 commands, one at a time), then
// the highest command rate the daemon keeps up with for 10 s with every
// command applied, in order. Re-runs itself under umockdev-wrapper. Prints
// one summary line; each rate tried is told on stderr.
#include "emulated_bench.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

QByteArray patternText(std::uint8_t byte)
{
    QByteArray text(8, '0');
    for (int relay = 0; relay < 8; ++relay)
        if (byte & (1u << relay))
            text[relay] = '1';
    return text;
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * double(v.size() - 1) + 0.5))];
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "mqtt_latency: %s\n", what);
    std::exit(1);
}

struct Bench {
    EmulatedFtdiBus* bus = nullptr;
    int board = -1;
    mosquitto* client = nullptr;
    bool online = false;

    std::size_t written() const { return emulated_ftdi_written(bus, board, nullptr, 0); }
    void service() { mosquitto_loop(client, 0, 1); }
    void publish(std::uint8_t byte)
    {
        const QByteArray text = patternText(byte);
        if (mosquitto_publish(client, nullptr, "kb/BENCH-1/state/set", 8, text.constData(), 1, false) != MOSQ_ERR_SUCCESS)
            fail("publish failed");
    }
    // Waits until count bytes reached the board or the deadline passed.
    bool waitFor(std::size_t count, Clock::time_point deadline)
    {
        while (written() < count) {
            if (Clock::now() > deadline)
                return false;
            service();
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        return true;
    }
};
}  // namespace

int main(int argc, char* argv[])
{
    bench::runEmulated(argc, argv, "mqtt_latency");
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const int port = bench::freePort();
    Bench bench;
    bench.bus = emulated_ftdi_bus_new();
    bench.board = emulated_ftdi_add_board(bench.bus, "BENCH-1");
    emulated_ftdi_add_board(bench.bus, "BENCH-2");

    QFile brokerConf(dir.filePath("broker.conf")), daemonConf(dir.filePath("daemon.conf"));
    if (!brokerConf.open(QIODevice::WriteOnly) || !daemonConf.open(QIODevice::WriteOnly))
        fail("cannot write the configuration");
    brokerConf.write("listener " + QByteArray::number(port) + " 127.0.0.1\nallow_anonymous true\nset_tcp_nodelay true\n");
    daemonConf.write("[broker]\nhost = 127.0.0.1\nport = " + QByteArray::number(port) +
                     "\n[topics]\nbase = kb\nid = bench\ndiscovery = false\n[boards]\nserials = BENCH-1 BENCH-2\n");
    brokerConf.close();
    daemonConf.close();

    QProcess broker, daemon;
    QProcessEnvironment plain = QProcessEnvironment::systemEnvironment();
    plain.remove(QStringLiteral("LD_PRELOAD"));
    plain.remove(QStringLiteral("UMOCKDEV_DIR"));
    broker.setProcessEnvironment(plain);
    broker.start(QStringLiteral(MOSQUITTO), {QStringLiteral("-c"), brokerConf.fileName()});
    // The daemon's log is not the result; KESTRUNE_BENCH_LOG=FILE keeps it.
    daemon.setStandardOutputFile(QProcess::nullDevice());
    daemon.setStandardErrorFile(qEnvironmentVariable("KESTRUNE_BENCH_LOG", QProcess::nullDevice()));

    mosquitto_lib_init();
    bench.client = mosquitto_new("kestrune-bench", true, &bench);
    mosquitto_int_option(bench.client, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_max_inflight_messages_set(bench.client, 0);
    mosquitto_message_callback_set(bench.client, [](mosquitto*, void* self, const mosquitto_message* m) {
        static_cast<Bench*>(self)->online = QByteArray(static_cast<const char*>(m->payload), m->payloadlen) == "online";
    });
    const auto start = Clock::now();
    while (mosquitto_connect(bench.client, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
        if (Clock::now() - start > std::chrono::seconds(10))
            fail("the broker does not start");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    mosquitto_subscribe(bench.client, nullptr, "kb/BENCH-1/availability", 1);
    daemon.start(QStringLiteral(KESTRUNED), {QStringLiteral("--config"), daemonConf.fileName()});
    while (!bench.online) {
        if (Clock::now() - start > std::chrono::seconds(20))
            fail("the daemon does not take the board");
        mosquitto_loop(bench.client, 10, 1);
    }

    // Latency: one command at a time, each a different pattern.
    std::vector<double> latencies;
    for (int i = 0; i < 1000; ++i) {
        const std::size_t before = bench.written();
        const auto sent = Clock::now();
        bench.publish(static_cast<std::uint8_t>(i % 255 + 1));
        if (!bench.waitFor(before + 1, sent + std::chrono::seconds(5)))
            fail("a command never reached the board");
        latencies.push_back(ms(Clock::now() - sent));
        bench.service();
    }

    // Rates: doubled until the daemon falls behind or loses a command, then
    // halfway between the last rate held and the first one not, twice.
    const auto holds = [&](int rate) {
        const int count = rate * 10;
        // What a rate before left queued is played out first.
        for (std::size_t seen = SIZE_MAX; seen != bench.written();) {
            seen = bench.written();
            for (const auto quiet = Clock::now() + std::chrono::milliseconds(500); Clock::now() < quiet;) {
                bench.service();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        emulated_ftdi_clear_written(bench.bus, bench.board);
        QByteArray sent;
        const auto begin = Clock::now();
        for (int i = 0; i < count; ++i) {
            const auto due = begin + std::chrono::nanoseconds(1000000000LL * i / rate);
            while (Clock::now() < due) {
                bench.service();
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            const auto byte = static_cast<std::uint8_t>(i * 37 + 1);
            bench.publish(byte);
            sent.append(static_cast<char>(byte));
        }
        const auto last = Clock::now();
        // Kept up: every command applied, in order, within a second of the last.
        const bool allThere = bench.waitFor(std::size_t(count), last + std::chrono::seconds(1));
        QByteArray got(qsizetype(bench.written()), '\0');
        emulated_ftdi_written(bench.bus, bench.board, reinterpret_cast<unsigned char*>(got.data()), size_t(got.size()));
        std::fprintf(stderr, "%d commands/s: %lld of %d applied%s, %.0f ms after the last was sent\n", rate,
                     static_cast<long long>(got.size()), count, got == sent ? " in order" : "",
                     ms(Clock::now() - last));
        return allThere && got == sent;
    };
    int held = 0, missed = 0;
    for (int rate = 250; rate <= 64000 && !missed; rate *= 2)
        (holds(rate) ? held : missed) = rate;
    for (int step = 0; step < 2 && missed > held + 1; ++step) {
        const int rate = (held + missed) / 2;
        (holds(rate) ? held : missed) = rate;
    }

    daemon.terminate();
    daemon.waitForFinished();
    broker.terminate();
    broker.waitForFinished();
    mosquitto_destroy(bench.client);
    mosquitto_lib_cleanup();
    emulated_ftdi_bus_free(bench.bus);
    std::printf("mqtt_latency: 1000 state commands, publish to byte at the emulated board median %.2f ms, "
                "p99 %.2f ms (target < 10 ms); highest rate held for 10 s with none lost: %d commands/s\n",
                percentile(latencies, 0.5), percentile(latencies, 0.99), held);
    return 0;
}
