#pragma once

#include "mqtt/board_service.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_config.h"
#include "mqtt/relay_bridge.h"

#include <QObject>
#include <QRandomGenerator>
#include <QTimer>

#include <functional>

class QThread;

// The service's MQTT side wired up: the boards of the service through the
// bridge, the bridge on the broker. The boards are timed on the thread that
// makes it; the broker client runs on a thread of its own (a name lookup
// there may block for as long as a name server keeps silent), reached only
// through queued calls.
class MqttDaemon final : public QObject {
    Q_OBJECT
public:
    MqttDaemon(BoardService& service, const DaemonConfig& config, QObject* parent = nullptr);
    // Leaves the client and its thread alone when stopClient() found them busy.
    ~MqttDaemon() override;

    // Starts the client's thread, connecting and serving boards; an error text
    // when it cannot.
    QString start();

    // stopClient
    //   Ends the client and its thread, waiting at most waitMs for them.
    // Returns:
    //   whether they ended; if not (a name lookup that does not return), the
    //   process must end without waiting for them (std::_Exit).
    bool stopClient(int waitMs);

    // Every node and the daemon offline on the broker, at most GoodbyeMs
    // from now; then finished().
    void goodbye();
    static constexpr int GoodbyeMs = 700;

signals:
    // The daemon said goodbye on the broker, or its time for that ran out.
    void finished();

private:
    void received(const QByteArray& topic, const QByteArray& payload, bool retained);
    // Runs call on the client's thread, later.
    void toClient(std::function<void(MqttClient&)> call);

    DaemonConfig config_;
    QThread* thread_ = nullptr;
    MqttClient* client_ = nullptr;  // lives on thread_
    RelayBridge bridge_;
    QTimer goodbye_;
    quint64 connection_ = 0;  // the client's present connection
    bool takenOver_ = false;  // the broker's last word before it: another client took the session over
    quint64 probe_ = 0;    // the probe of the present connection
    quint64 learned_ = 0;  // the probe last answered: this run served on that connection
    QByteArray instance_;       // a random nonce, new each time this run serves
    QByteArray heardInstance_;  // the instance retained on the broker
    QByteArray standDownFor_;   // the other run's instance when this one last stood down
};

// main(): the board service on libftdi1, its MQTT side when the settings
// name a broker. Returns the exit code.
int runBoardService(int argc, char* argv[]);
