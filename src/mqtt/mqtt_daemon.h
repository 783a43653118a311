#pragma once

#include "engine/signal_watcher.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_config.h"
#include "mqtt/relay_bridge.h"

#include <QObject>
#include <QRandomGenerator>

class UsbLibrary;

// The daemon wired up: boards through the bridge, the bridge on the broker,
// and SIGTERM/SIGINT/SIGHUP for a clean exit.
class MqttDaemon final : public QObject {
    Q_OBJECT
public:
    MqttDaemon(UsbLibrary& library, const DaemonConfig& config, QObject* parent = nullptr);

    // Starts connecting and taking boards; an error text when it cannot.
    QString start();

signals:
    // The daemon said goodbye on the broker; the process may end with 0.
    void finished();

private:
    void received(const QByteArray& topic, const QByteArray& payload, bool retained);
    void shutDown();

    DaemonConfig config_;
    SignalWatcher signals_;
    MqttClient client_;
    RelayBridge bridge_;
    bool shuttingDown_ = false;
    quint64 probe_ = 0;    // the probe of the present connection
    quint64 learned_ = 0;  // the probe last answered: this run served on that connection
    QByteArray instance_;       // a random nonce, new each time this run serves
    QByteArray heardInstance_;  // the instance retained on the broker
    QByteArray standDownFor_;   // the other run's instance when this one last stood down
};

// main(): the daemon on libftdi1. Returns the exit code.
int runMqttDaemon(int argc, char* argv[]);
