#include "mqtt/mqtt_daemon.h"

#include "engine/device/configured_rules.h"
#include "engine/device/ftdi_library.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

MqttDaemon::MqttDaemon(UsbLibrary& library, const DaemonConfig& config, QObject* parent)
    : QObject(parent),
      config_(config),
      signals_({SIGTERM, SIGINT}),
      client_(config.broker),
      bridge_(library, RelayBridge::Settings{config.topics, config.discovery, config.serials},
              [this](const QByteArray& topic, const QByteArray& payload) { client_.publish(topic, payload); })
{
    bridge_.setRulesSource(configuredRules);
    connect(&signals_, &SignalWatcher::received, this, &MqttDaemon::shutDown);
    connect(&client_, &MqttClient::connected, this, [this] {
        client_.subscribe(bridge_.topics().subscriptions());
        bridge_.publishAll();
    });
    connect(&client_, &MqttClient::messageReceived, &bridge_, &RelayBridge::handleMessage);
    connect(&client_, &MqttClient::finished, this, &MqttDaemon::finished);
}

QString MqttDaemon::start()
{
    if (!signals_.isValid())
        return QStringLiteral("cannot watch for SIGTERM and SIGINT");
    qCInfo(lcMqtt).noquote() << "settings from" << (config_.file.isEmpty() ? QStringLiteral("defaults") : config_.file)
                             << "- broker" << config_.broker.host + QLatin1Char(':') + QString::number(config_.broker.port)
                             << (config_.broker.cafile.isEmpty() ? "without TLS" : "with TLS")
                             << "- topics" << QString::fromUtf8(config_.topics.base + "/...")
                             << "- id" << QString::fromUtf8(config_.topics.id);
    if (config_.serials.isEmpty())
        qCWarning(lcMqtt) << "no [boards] serials set: taking every board attached";
    if (QString error = client_.start(); !error.isEmpty())
        return error;
    bridge_.start();
    return {};
}

void MqttDaemon::shutDown()
{
    if (shuttingDown_)
        return;
    shuttingDown_ = true;
    qCInfo(lcMqtt) << "stopping; the relays stay as they are";
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
    MqttDaemon daemon(library, std::get<DaemonConfig>(loaded));
    QObject::connect(&daemon, &MqttDaemon::finished, &app, [] { QCoreApplication::exit(0); });
    if (const QString error = daemon.start(); !error.isEmpty()) {
        std::fprintf(stderr, "kestrune-mqtt: %s\n", qPrintable(error));
        return 1;
    }
    return QCoreApplication::exec();
}
