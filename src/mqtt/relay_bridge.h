#pragma once

#include "engine/device/usb_library.h"
#include "engine/config/boards_conf.h"
#include "mqtt/board_pool.h"
#include "mqtt/daemon_log.h"
#include "mqtt/mqtt_payloads.h"
#include "mqtt/state_keeper.h"

#include <QMap>
#include <QObject>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

// The MQTT side of the daemon's boards: serves each board of the pool as a
// node, keeps to the ownership rules among daemons on one broker (retained
// owner markers; a node owned by another online daemon is left alone, and
// when two claim one at once the smaller id keeps it), applies commands in
// the order they come, and says everything it knows as retained messages
// through a publish function. Knows nothing of the broker: whoever connects
// it calls handleMessage() for each message and publishAll() after each
// (re)connect.
class RelayBridge final : public QObject {
    Q_OBJECT
public:
    using Publish = std::function<void(const QByteArray& topic, const QByteArray& payload)>;
    // Subscribes to (on) or unsubscribes from a filter for commands.
    using Subscribe = std::function<void(const QByteArray& filter, bool on)>;
    using Clock = std::function<qint64()>;  // milliseconds, monotonic

    // How long a node freed by its daemon's last will stays free before it
    // is taken, and how long after a (re)connect a node that another daemon
    // served before is left to it.
    static constexpr qint64 FreedWaitMs = 5000;
    static constexpr qint64 ReturnWaitMs = 45000;

    struct Settings {
        MqttPayloads::Topics topics;
        bool discovery = true;
        QStringList serials;  // the boards this daemon may take (serials, port:PORT); empty: any
        int scanMs = 2000;    // how often to look for boards coming and going
        QMap<QString, QByteArray> nodeNames;  // serial or port:PORT -> its node's name
        BoardsConf boards;    // a board named there is served under its name (over nodeNames)
        QString stateDir;  // where each board's last written state is kept; empty: nowhere
    };

    RelayBridge(UsbLibrary& library, Settings settings, Publish publish, QObject* parent = nullptr);
    ~RelayBridge() override;

    const MqttPayloads::Topics& topics() const { return settings_.topics; }
    // Where each node served is subscribed to: from its take until it is let go.
    void setSubscriber(Subscribe subscribe) { subscribe_ = std::move(subscribe); }
    // A test's clock.
    void setClock(Clock clock) { clock_ = std::move(clock); }

    // Looks for boards every scanMs, once the owners of the nodes are known.
    void start();
    // All retained markers, availabilities and this daemon's node list have
    // arrived (after each connect): the first time the boards are taken and
    // nodes left from an earlier run go offline, after that everything is
    // said again.
    void markersLearned();
    // The broker is gone: no node is taken until the markers are learned again.
    void brokerLost();
    // Takes the boards that appeared, lets go of those that are gone.
    void scan();

    // One message as it came from the broker: a command, or what other
    // daemons say (their availability, the owners of nodes). Bad input is
    // logged and changes nothing.
    void handleMessage(const QByteArray& topic, const QByteArray& payload, bool retained);

    // Everything again: discovery, and each board's owner marker,
    // availability, relays, state and program, and the node list.
    void publishAll();
    // Performs every pending second edge of a pulse or cycle now, and keeps
    // what was written: before a clean exit.
    void finishPulses();
    // Every board held has written what finishPulses() left to come.
    bool settled() const;
    // For a clean exit: every board and the daemon offline, owner markers
    // cleared. Boards and relays stay as they are.
    void publishOffline();

    // The topic names of the boards taken now.
    QList<QByteArray> onlineBoards() const;

private:
    using Entry = BoardPool::Entry;

    BoardPool::Naming nameOf(const DeviceInfo& device, const NamedBoard* named) const;
    void seen(const QByteArray& name, const DeviceInfo& device);
    bool readMarker(const QByteArray& topic, const QByteArray& payload, bool retained);
    void ownerSaid(const QByteArray& name, const QByteArray& owner, bool retained);
    QByteArray ownerElsewhere(const QByteArray& name) const;
    BoardPool::Claim claimOf(const QByteArray& name) const;
    void daemonSaid(const QByteArray& id, const QByteArray& availability);
    void refuse(Entry& board, const DeviceInfo& info, const QByteArray& owner);
    void leftAlone(Entry& board, const DeviceInfo& info, const QString& why, bool warning);
    void taken(Entry& board);
    // Releases the board; unless yielded to another daemon's claim, its node
    // goes offline and loses its marker.
    void letGo(Entry& board, const QString& why, bool yielded = false);
    void publishNodes();
    // Marks a node as this daemon's (its retained owner marker).
    void claim(const QByteArray& name);
    void publishStale();
    void apply(Entry& board, const MqttPayloads::Command& command);
    void publishBoard(Entry& board);
    void publishDiscovery(const Entry& board);
    void publishRelays(Entry& board, bool all);
    void publishProgram(const Entry& board);
    // What the board's on_start asks for once it is taken.
    void startUp(Entry& board);

    Settings settings_;
    Publish publish_;
    Subscribe subscribe_ = [](const QByteArray&, bool) {};
    StateKeeper states_;
    BoardPool pool_;
    std::map<QByteArray, std::optional<std::uint8_t>> published_;  // node -> relay levels last published
    std::map<QByteArray, QByteArray> owners_;    // node -> id in its retained owner marker
    std::set<QByteArray> onlineDaemons_;         // ids whose bridge says online
    std::map<QByteArray, QByteArray> servedBy_;  // node -> the other daemon seen serving it, over reconnects
    std::map<QByteArray, QByteArray> returning_; // what servedBy_ held when the broker was last lost
    std::map<QByteArray, qint64> freedAt_;       // node -> when its daemon's last will freed it
    Clock clock_;
    bool connected_ = false;
    qint64 connectedAt_ = 0;
    QByteArray earlierNodes_;                    // the node list an earlier run left retained
    std::optional<QByteArray> publishedNodes_;
};
