#pragma once

#include "engine/device/board_rules.h"
#include "engine/device/usb_library.h"
#include "mqtt/mqtt_payloads.h"

#include <QLoggingCategory>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>

Q_DECLARE_LOGGING_CATEGORY(lcMqtt)

class BoardLink;

// The boards of one daemon on the bus: takes the boards it may (at start and
// whenever one appears), lets go of those pulled out, applies commands in the
// order they come, and says everything it knows as retained messages through
// a publish function. Knows nothing of the broker: whoever connects it calls
// handleMessage() for each message and publishAll() after each (re)connect.
class RelayBridge final : public QObject {
    Q_OBJECT
public:
    using Publish = std::function<void(const QByteArray& topic, const QByteArray& payload)>;

    struct Settings {
        MqttPayloads::Topics topics;
        bool discovery = true;
        QStringList serials;  // the boards this daemon may take; empty: any
        int scanMs = 2000;    // how often to look for boards coming and going
    };

    RelayBridge(UsbLibrary& library, Settings settings, Publish publish, QObject* parent = nullptr);
    ~RelayBridge() override;

    // Where the boards taken from now on get their rules (BoardLink::RulesSource).
    void setRulesSource(std::function<BoardRules(const DeviceInfo&)> source);

    const MqttPayloads::Topics& topics() const { return settings_.topics; }

    // Looks for boards now and from then on every scanMs.
    void start();
    // Takes the boards that appeared, lets go of those that are gone.
    void scan();

    // One message as it came from the broker. Bad input is logged and
    // changes nothing.
    void handleMessage(const QByteArray& topic, const QByteArray& payload, bool retained);

    // Everything again: the daemon online, discovery, and each board's
    // availability, relays, state and program.
    void publishAll();
    // For a clean exit: every board and the daemon offline. Boards and relays
    // stay as they are.
    void publishOffline();

    // The topic names of the boards taken now.
    QList<QByteArray> onlineBoards() const;

private:
    struct Board;

    Board* boardNamed(const QByteArray& name);
    void take(Board& board, int index, const DeviceInfo& info);
    void letGo(Board& board, const QString& why);
    void apply(Board& board, const MqttPayloads::Command& command);
    void readBack(Board& board);
    void publishBoard(Board& board);
    void publishDiscovery(const Board& board);
    void publishRelays(Board& board, bool all);
    void publishProgram(const Board& board);
    void scanSoon();

    Settings settings_;
    Publish publish_;
    UsbLibrary& library_;
    std::unique_ptr<BoardLink> scanner_;
    std::map<QByteArray, std::unique_ptr<Board>> boards_;
    QTimer scanTimer_;
    bool scanQueued_ = false;
};
