#include "mqtt/mqtt_daemon.h"

#include "engine/device/ftdi_library.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

MqttDaemon::MqttDaemon(UsbLibrary& library, const DaemonConfig& config, QObject* parent)
    : QObject(parent),
      config_(config),
      signals_({SIGTERM, SIGINT, SIGHUP}),
      client_(config.broker),
      bridge_(library, RelayBridge::Settings{config.topics, config.discovery, config.serials, 2000, config.nodeNames, config.boards,
                                             qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0)},
              [this](const QByteArray& topic, const QByteArray& payload) { client_.publish(topic, payload); })
{
    connect(&signals_, &SignalWatcher::received, this, &MqttDaemon::shutDown);
    // The retained markers are read first: a probe sent to this daemon itself
    // arrives after all of them (the broker keeps the order).
    connect(&client_, &MqttClient::connected, this, [this] {
        heardInstance_.clear();
        client_.subscribe(bridge_.topics().readBack());
        client_.publish(bridge_.topics().bridge("probe"), QByteArray::number(++probe_), false);
    });
    connect(&client_, &MqttClient::messageReceived, this, &MqttDaemon::received);
    bridge_.setSubscriber([this](const QByteArray& filter, bool on) {
        if (on)
            client_.subscribe({filter}, true);
        else
            client_.unsubscribe(filter);
    });
    connect(&client_, &MqttClient::finished, this, &MqttDaemon::finished);
}

QString MqttDaemon::start()
{
    if (!signals_.isValid())
        return QStringLiteral("cannot watch for SIGTERM, SIGINT and SIGHUP");
    qCInfo(lcMqtt).noquote() << "settings from" << (config_.file.isEmpty() ? QStringLiteral("defaults") : config_.file)
                             << "- broker" << config_.broker.host + QLatin1Char(':') + QString::number(config_.broker.port)
                             << (config_.broker.cafile.isEmpty() ? "without TLS" : "with TLS")
                             << "- topics" << QString::fromUtf8(config_.topics.base + "/...")
                             << "- id" << QString::fromUtf8(config_.topics.id);
    if (!config_.boards.file.isEmpty())
        qCInfo(lcMqtt).noquote() << "board names from" << config_.boards.file;
    if (config_.serials.isEmpty())
        qCWarning(lcMqtt) << "no [boards] serials set: taking every board attached";
    if (QString error = client_.start(); !error.isEmpty())
        return error;
    bridge_.start();
    return {};
}

void MqttDaemon::received(const QByteArray& topic, const QByteArray& payload, bool retained)
{
    const MqttPayloads::Topics& topics = bridge_.topics();
    const QString sameId = QStringLiteral("another daemon uses the id %1 on this broker")
                               .arg(QString::fromUtf8(topics.id));
    if (topic == topics.bridge("instance")) {
        // Before the probe: the run that published last. After it, another
        // run says it is here now.
        heardInstance_ = payload;
        if (learned_ == probe_ && !client_.takenOver() && !payload.isEmpty() && payload != instance_)
            client_.standDown(sameId);
    } else if (topic != topics.bridge("probe")) {
        bridge_.handleMessage(topic, payload, retained);
    } else if (payload == QByteArray::number(probe_)) {
        // This run served before, and another one with this id has served
        // since: the broker hands the id to two clients in turn. One that
        // has not served again since this daemon last stood down is gone.
        // (After a takeover the broker said so, and the other run stands down.)
        if (learned_ && !client_.takenOver() && !heardInstance_.isEmpty() && heardInstance_ != instance_ &&
            heardInstance_ != standDownFor_) {
            standDownFor_ = heardInstance_;
            return client_.standDown(sameId);
        }
        learned_ = probe_;
        instance_ = QByteArray::number(QRandomGenerator::system()->generate64(), 16);
        client_.publish(topics.bridgeAvailability(), QByteArrayLiteral("online"));
        client_.publish(topics.bridge("instance"), instance_);
        bridge_.markersLearned();
    }
}

void MqttDaemon::shutDown()
{
    if (shuttingDown_)
        return;
    shuttingDown_ = true;
    qCInfo(lcMqtt) << "stopping; pulses and cycles end now, the relays stay as they are";
    bridge_.finishPulses();
    bridge_.publishOffline();
    client_.finish(700);
}

int runMqttDaemon(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // A broker that went away must not end the process through a write.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication::setApplicationName(QStringLiteral("kestrune-mqtt"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTRUNE_VERSION));
    const auto loaded = loadDaemonConfig(QCoreApplication::arguments());
    if (const auto* exit = std::get_if<ConfigExit>(&loaded)) {
        std::fputs(qPrintable((exit->code == 0 ? QString() : QStringLiteral("kestrune-mqtt: ")) + exit->text +
                              (exit->text.endsWith(QLatin1Char('\n')) ? QString() : QStringLiteral("\n"))),
                   exit->code == 0 ? stdout : stderr);
        return exit->code;
    }
    FtdiLibrary library;
    library.setHolderSettleMs(0);  // the boards' thread never sleeps
    MqttDaemon daemon(library, std::get<DaemonConfig>(loaded));
    QObject::connect(&daemon, &MqttDaemon::finished, &app, [] { QCoreApplication::exit(0); });
    if (const QString error = daemon.start(); !error.isEmpty()) {
        std::fprintf(stderr, "kestrune-mqtt: %s\n", qPrintable(error));
        return 1;
    }
    return QCoreApplication::exec();
}
