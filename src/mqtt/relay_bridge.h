#pragma once

#include "mqtt/board_service.h"
#include "mqtt/daemon_log.h"
#include "mqtt/mqtt_payloads.h"

#include <QObject>

#include <functional>
#include <map>
#include <optional>
#include <set>

// The MQTT side of the board service: serves each board the service holds
// as a node, keeps to the ownership rules among daemons on one broker
// (retained owner markers; a node owned by another online daemon is not
// served here, and when two claim one at once the smaller id keeps it),
// applies commands in the order they come, and says everything it knows as
// retained messages through a publish function. A node it does not serve
// stays held by the service for its local users. Knows nothing of the
// broker: whoever connects it calls handleMessage() for each message and
// markersLearned() after each (re)connect.
class RelayBridge final : public QObject {
    Q_OBJECT
public:
    using Publish = std::function<void(const QByteArray& topic, const QByteArray& payload)>;
    // Subscribes to (on) or unsubscribes from a filter for commands.
    using Subscribe = std::function<void(const QByteArray& filter, bool on)>;
    using Clock = std::function<qint64()>;  // milliseconds, monotonic

    // How long a node freed by its daemon's last will stays free before it
    // is served, and how long after a (re)connect a node that another daemon
    // served before is left to it.
    static constexpr qint64 FreedWaitMs = 5000;
    static constexpr qint64 ReturnWaitMs = 45000;

    struct Settings {
        MqttPayloads::Topics topics;
        bool discovery = true;
    };

    RelayBridge(BoardService& service, Settings settings, Publish publish, QObject* parent = nullptr);
    ~RelayBridge() override;

    const MqttPayloads::Topics& topics() const { return settings_.topics; }
    // Where each node served is subscribed to: from its take until it is let go.
    void setSubscriber(Subscribe subscribe) { subscribe_ = std::move(subscribe); }
    // A test's clock.
    void setClock(Clock clock) { clock_ = std::move(clock); }

    // All retained markers, availabilities and this daemon's node list have
    // arrived (after each connect): the first time nodes left from an
    // earlier run go offline, after that everything is said again; then
    // the boards held are served where nobody else serves them.
    void markersLearned();
    // The broker is gone: no node is newly served until the markers are learned again.
    void brokerLost();

    // One message as it came from the broker: a command, or what other
    // daemons say (their availability, the owners of nodes). Bad input is
    // logged and changes nothing.
    void handleMessage(const QByteArray& topic, const QByteArray& payload, bool retained);

    // Everything again: discovery, and each board's owner marker,
    // availability, relays, state and program, and the node list.
    void publishAll();
    // For a clean exit: every node served and the daemon offline, owner
    // markers cleared. Boards and relays stay as they are.
    void publishOffline();

    // The topic names of the nodes served now.
    QList<QByteArray> servedBoards() const;

private:
    using Entry = BoardService::Entry;

    bool serves(const QByteArray& name) const { return served_.count(name) != 0; }
    // Serves each board held that nobody else serves, where it may.
    void serveFree();
    void serve(Entry& board);
    // Stops serving the node; yielded to another daemon's claim, it says so
    // with the served topic only, else (the board is gone) its node goes
    // offline and loses its marker.
    void stopServing(Entry& board, const QString& why, bool yielded);
    bool readMarker(const QByteArray& topic, const QByteArray& payload, bool retained);
    void ownerSaid(const QByteArray& name, const QByteArray& owner, bool retained);
    QByteArray ownerElsewhere(const QByteArray& name) const;
    // Whether a node held may be served now: the daemon that serves it
    // elsewhere, or "wait" (a later look decides), or neither.
    struct Claim {
        QByteArray owner;
        bool wait = false;
    };
    Claim claimOf(const QByteArray& name) const;
    void daemonSaid(const QByteArray& id, const QByteArray& availability);
    void refuse(Entry& board, const QByteArray& owner);
    void publishNodes();
    // Marks a node as this daemon's (its retained owner marker).
    void claim(const QByteArray& name);
    void publishStale();
    void apply(Entry& board, const MqttPayloads::Command& command);
    void publishBoard(Entry& board);
    void publishDiscovery(const Entry& board);
    void publishRelays(Entry& board, bool all);
    void publishProgram(const Entry& board);

    Settings settings_;
    BoardService& service_;
    Publish publish_;
    Subscribe subscribe_ = [](const QByteArray&, bool) {};
    std::set<QByteArray> served_;                // nodes served now
    std::map<QByteArray, QByteArray> refused_;   // node -> the daemon it was last refused for, said once
    std::map<QByteArray, std::optional<std::uint8_t>> published_;  // node -> relay levels last published
    std::map<QByteArray, QByteArray> owners_;    // node -> id in its retained owner marker
    std::set<QByteArray> onlineDaemons_;         // ids whose bridge says online
    std::map<QByteArray, QByteArray> servedBy_;  // node -> the other daemon seen serving it, over reconnects
    std::map<QByteArray, QByteArray> returning_; // what servedBy_ held when the broker was last lost
    std::map<QByteArray, qint64> freedAt_;       // node -> when its daemon's last will freed it
    Clock clock_;
    bool learned_ = false;                       // the markers were learned once
    bool connected_ = false;
    qint64 connectedAt_ = 0;
    QByteArray earlierNodes_;                    // the node list an earlier run left retained
    std::optional<QByteArray> publishedNodes_;
};
