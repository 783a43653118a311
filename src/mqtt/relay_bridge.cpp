#include "mqtt/relay_bridge.h"

#include "engine/device/device_entries.h"
#include "engine/device/relay_board.h"

#include <utility>

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>

using namespace MqttPayloads;

namespace {
template <class... F> struct Overloaded : F... {
    using F::operator()...;
};
template <class... F> Overloaded(F...) -> Overloaded<F...>;

QByteArray nodeList(const QList<QByteArray>& names)
{
    QJsonArray list;
    for (const QByteArray& name : names)
        list.append(QString::fromUtf8(name));
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}
}  // namespace

RelayBridge::RelayBridge(BoardService& service, Settings settings, Publish publish, QObject* parent)
    : QObject(parent),
      settings_(std::move(settings)),
      service_(service),
      publish_(std::move(publish)),
      clock_([] { return QDeadlineTimer::current().deadline(); })
{
    connect(&service_, &BoardService::taken, this, [this](const QByteArray& name) { refused_.erase(name); });
    connect(&service_, &BoardService::gone, this, [this](const QByteArray& name) {
        if (serves(name))
            stopServing(*service_.entry(name), QStringLiteral("is gone"), false);
    });
    connect(&service_, &BoardService::changed, this, [this](const QByteArray& name) {
        if (serves(name))
            publishRelays(*service_.entry(name), false);
    });
    connect(&service_, &BoardService::programChanged, this, [this](const QByteArray& name) {
        if (serves(name))
            publishProgram(*service_.entry(name));
    });
    connect(&service_, &BoardService::looked, this, &RelayBridge::serveFree);
}

RelayBridge::~RelayBridge() = default;

void RelayBridge::markersLearned()
{
    connected_ = true;
    connectedAt_ = clock_();
    if (std::exchange(learned_, true))
        return publishAll(), serveFree();
    serveFree();
    publishStale();
    publishNodes();  // an earlier run's list goes now, boards served or none
}

void RelayBridge::brokerLost()
{
    connected_ = false;
    returning_ = servedBy_;
    freedAt_.clear();  // a node is free only for as long as this daemon watched it be
}

QByteArray RelayBridge::ownerElsewhere(const QByteArray& name) const
{
    const auto it = owners_.find(name);
    return it != owners_.end() && it->second != settings_.topics.id && onlineDaemons_.count(it->second)
               ? it->second
               : QByteArray();
}

// A node is served only while this daemon is connected and nobody else
// serves it; one freed by its daemon's last will only once it has stayed
// free for FreedWaitMs (a broker that stops sends every client's will), and
// one another daemon served before this daemon's (re)connect not for
// ReturnWaitMs after it, unless that daemon comes back and clears its claim.
RelayBridge::Claim RelayBridge::claimOf(const QByteArray& name) const
{
    if (const QByteArray owner = ownerElsewhere(name); !owner.isEmpty())
        return {owner};
    const qint64 now = clock_();
    const auto freed = freedAt_.find(name);
    return {{}, !connected_ || (freed != freedAt_.end() && now < freed->second + FreedWaitMs) ||
                    (returning_.count(name) && now < connectedAt_ + ReturnWaitMs)};
}

// A daemon's offline heard once the markers are known is news: its last
// will, or its goodbye. (A will is retained, like what was kept before.)
void RelayBridge::daemonSaid(const QByteArray& id, const QByteArray& availability)
{
    if (availability != "online") {
        if (connected_ && onlineDaemons_.count(id))
            for (const auto& [name, owner] : owners_)
                if (owner == id)
                    freedAt_[name] = clock_();
        onlineDaemons_.erase(id);
        return;
    }
    onlineDaemons_.insert(id);
}

void RelayBridge::refuse(Entry& board, const QByteArray& owner)
{
    if (std::exchange(refused_[board.name], owner) != owner)
        qCCritical(lcMqtt).noquote()
            << "not serving board" << board.label() << "at port"
            << board.info.port + QLatin1Char(':') << "node" << QString::fromUtf8(settings_.topics.base + '/' + board.name)
            << "belongs to daemon" << QString::fromUtf8(owner) << "which is online; give this board a node name of its own in [boards] (node."
                + (board.info.serial.isEmpty() ? DeviceEntries::portEntry(board.info) : printableText(board.info.serial))
                + " = NAME) or use another base topic";
}

void RelayBridge::serveFree()
{
    if (!connected_)
        return;
    for (const auto& [name, board] : service_.entries()) {
        if (!board->online() || serves(name))
            continue;
        if (const Claim claim = claimOf(name); !claim.owner.isEmpty())
            refuse(*board, claim.owner);
        else if (!claim.wait)
            serve(*board);
    }
}

void RelayBridge::serve(Entry& board)
{
    const QByteArray name = board.name;
    served_.insert(name);
    refused_.erase(name);
    qCInfo(lcMqtt).noquote() << "serving board" << board.label() << "at port" << board.info.port << "as"
                             << QString::fromUtf8(settings_.topics.base + '/' + name);
    servedBy_.erase(name), returning_.erase(name), freedAt_.erase(name);
    claim(name);
    subscribe_(settings_.topics.nodeFilter(name), true);
    if (!published_.count(name) && !board.serial.isEmpty()) {  // the ids of earlier versions, and of a key by serial number
        const QByteArray bySerial = topicName(board.serial);
        const auto& entries = service_.entries();
        const bool keyUsed = std::any_of(entries.begin(), entries.end(), [&](const auto& e) { return e.second->key == bySerial; });
        for (int relay = 1; relay <= 8; ++relay) {
            publish_(settings_.topics.oldDiscovery(bySerial, relay), {});
            if (board.key != bySerial && !keyUsed && settings_.discovery)
                publish_(settings_.topics.discovery(bySerial, relay), {}), publish_(settings_.topics.buttonDiscovery(bySerial, relay), {});
        }
    }
    published_[name].reset();
    publishDiscovery(board);
    publishBoard(board);
    publishNodes();
}

void RelayBridge::stopServing(Entry& board, const QString& why, bool yielded)
{
    served_.erase(board.name);
    published_[board.name].reset();
    subscribe_(settings_.topics.nodeFilter(board.name), false);
    if (yielded) {
        qCCritical(lcMqtt).noquote() << "stopped serving board" << board.label() << "at port"
                                     << board.info.port << "on MQTT (the board stays held):" << why;
        publish_(settings_.topics.served(board.name), QByteArrayLiteral("offline"));
    } else {
        publishBoard(board);
        if (owners_[board.name] == settings_.topics.id) {
            owners_.erase(board.name);
            publish_(settings_.topics.board(board.name, "owner"), {});
        }
    }
    publishNodes();
}

void RelayBridge::publishNodes()
{
    const QByteArray list = nodeList(servedBoards());
    if (publishedNodes_ != list)
        publish_(settings_.topics.bridge("nodes"), list);
    publishedNodes_ = list;
}

// Nodes an earlier run served (its node list, its markers) that no daemon
// serves now go offline.
void RelayBridge::publishStale()
{
    std::set<QByteArray> stale;
    for (const QJsonValue& name : QJsonDocument::fromJson(earlierNodes_).array())
        stale.insert(name.toString().toUtf8());
    for (const auto& [name, owner] : owners_)
        if (owner == settings_.topics.id)
            stale.insert(name);
    for (const QByteArray& name : stale) {
        const Entry* board = service_.entry(name);
        if (name.isEmpty() || name.contains('/') || name.contains('+') || name.contains('#') ||
            (board && board->online()) || !ownerElsewhere(name).isEmpty())
            continue;
        qCInfo(lcMqtt).noquote() << "node" << QString::fromUtf8(settings_.topics.base + '/' + name)
                                 << "was left online by an earlier run: offline now";
        publish_(settings_.topics.board(name, "availability"), QByteArrayLiteral("offline"));
        if (owners_.count(name)) {
            owners_.erase(name);
            publish_(settings_.topics.board(name, "owner"), {});
        }
    }
}

QList<QByteArray> RelayBridge::servedBoards() const
{
    return {served_.begin(), served_.end()};
}

bool RelayBridge::readMarker(const QByteArray& topic, const QByteArray& payload, bool retained)
{
    const QByteArray prefix = settings_.topics.base + '/';
    const QList<QByteArray> parts = topic.startsWith(prefix) ? topic.mid(prefix.size()).split('/') : QList<QByteArray>{};
    if (parts.size() == 3 && parts[0] == "bridge" && parts[2] == "availability") {
        daemonSaid(parts[1], payload);
    } else if (topic == settings_.topics.bridge("nodes")) {
        if (!learned_)
            earlierNodes_ = payload;
    } else if (parts.size() == 2 && parts[1] == "owner" && !parts[0].isEmpty()) {
        ownerSaid(parts[0], payload, retained);
    } else {
        return false;
    }
    return true;
}

// Another daemon's claim on a node held here: the smaller id keeps it. A
// retained claim of a daemon that is not online is stale, and answered.
void RelayBridge::ownerSaid(const QByteArray& name, const QByteArray& owner, bool retained)
{
    if (owner.isEmpty()) {
        if (connected_)  // news, not what was kept: let go of on purpose, free at once
            servedBy_.erase(name), returning_.erase(name), freedAt_.erase(name);
        owners_.erase(name);
        return;
    }
    owners_[name] = owner;
    if (owner != settings_.topics.id && onlineDaemons_.count(owner))
        servedBy_[name] = owner;
    Entry* board = service_.entry(name);
    if (!board || !serves(name) || owner == settings_.topics.id)
        return;
    if (owner < settings_.topics.id && (!retained || onlineDaemons_.count(owner))) {
        refused_[name] = owner;
        return stopServing(*board, QStringLiteral("daemon %1 serves node %2 too, and the smaller id keeps it; give this "
                                                  "board a node name of its own in [boards] or use another base topic")
                                       .arg(QString::fromUtf8(owner), QString::fromUtf8(settings_.topics.base + '/' + name)),
                           true);
    }
    claim(name);
}

void RelayBridge::claim(const QByteArray& name)
{
    owners_[name] = settings_.topics.id;
    publish_(settings_.topics.board(name, "owner"), settings_.topics.id);
}

void RelayBridge::handleMessage(const QByteArray& topic, const QByteArray& payload, bool retained)
{
    if (readMarker(topic, payload, retained) || settings_.topics.isStatus(topic))
        return;
    const auto ignore = [&](const QString& why) {
        qCWarning(lcMqtt).noquote() << "ignored a message on" << quoted(topic, 200) + QLatin1Char(':')
                                    << why;
    };
    if (retained)
        return ignore(QStringLiteral("it is retained, and commands count only as they are sent"));
    Parsed parsed = parse(settings_.topics, topic, payload);
    if (!parsed.value)
        return ignore(parsed.error);
    Entry* board = service_.entry(parsed.value->board);
    if (!board || !serves(parsed.value->board))
        return ignore(QStringLiteral("this daemon serves no board %1")
                          .arg(quoted(parsed.value->board)));
    apply(*board, *parsed.value);
}

void RelayBridge::apply(Entry& board, const Command& command)
{
    HeldBoard& held = *board.held;
    const QString error = std::visit(
        Overloaded{
            [&](const RelayCommand& c) {
                switch (c.action) {
                case Switch::Pulse: return held.pulse(c.relay, false, c.ms);
                case Switch::Cycle: return held.pulse(c.relay, true, c.ms);
                case Switch::Toggle: return held.toggleRelay(c.relay);
                default: return held.setRelay(c.relay, c.action == Switch::On);
                }
            },
            [&](const StateCommand& c) { return held.setPattern(c.pattern); },
            [&](const ProgramCommand& c) { return held.play(c.rows, c.tickMs, c.repeat); },
            [&](const ControlCommand& c) {
                if (c.control == Control::Stop)
                    held.stop();
                else if (c.control == Control::Pause)
                    held.pause();
                else
                    held.resume();
                return QString();
            },
        },
        command.action);
    const QString serial = printableText(board.serial);
    if (!error.isEmpty())
        qCWarning(lcMqtt).noquote() << (std::holds_alternative<ProgramCommand>(command.action)
                                            ? QStringLiteral("ignored a program for board %1: %2").arg(serial, error)
                                            : QStringLiteral("could not switch board %1 - %2").arg(serial, error));
}

void RelayBridge::publishRelays(Entry& board, bool all)
{
    std::optional<std::uint8_t>& published = published_[board.name];
    const std::uint8_t pins = board.held->pins();
    for (int relay = 1; relay <= 8; ++relay) {
        const std::uint8_t bit = RelayPattern::bit(relay);
        if (all || !published || ((*published ^ pins) & bit))
            publish_(settings_.topics.relay(board.name, relay), (pins & bit) ? QByteArrayLiteral("ON") : QByteArrayLiteral("OFF"));
    }
    published = pins;
    publish_(settings_.topics.board(board.name, "state"), RelayPattern::toText(pins));
}

void RelayBridge::publishProgram(const Entry& board)
{
    if (!board.held)
        return;
    static constexpr const char* names[] = {"stopped", "running", "paused"};
    const BoardPlayer& player = board.held->player();
    publish_(settings_.topics.board(board.name, "program"),
             programState(names[static_cast<int>(player.state())], player.row(),
                          board.held->programLoaded() || player.state() != ProgramRunner::State::Stopped ? player.rowCount() : 0,
                          player.figures()));
}

void RelayBridge::publishDiscovery(const Entry& board)
{
    if (!settings_.discovery)
        return;
    DeviceText device{board.serial, board.info.description, board.info.manufacturer, {}, {}};
    if (board.named)
        device.name = board.named->name, device.relays = board.named->relays;
    for (int relay = 1; relay <= 8; ++relay) {
        publish_(settings_.topics.discovery(board.key, relay),
                 discoveryConfig(settings_.topics, board.name, board.key, relay, device));
        // A button for each relay with a pulse_ms; an empty config takes away one left from before.
        const bool pulses = board.named && board.named->pulseMs[std::size_t(relay - 1)] > 0;
        publish_(settings_.topics.buttonDiscovery(board.key, relay),
                 pulses ? pulseButtonConfig(settings_.topics, board.name, board.key, relay,
                                            board.named->relayName(relay), device)
                        : QByteArray());
    }
}

void RelayBridge::publishBoard(Entry& board)
{
    const bool served = serves(board.name);
    publish_(settings_.topics.served(board.name), served ? QByteArrayLiteral("online") : QByteArrayLiteral("offline"));
    if (!served && !ownerElsewhere(board.name).isEmpty())
        return;  // another daemon serves the node now
    publish_(settings_.topics.board(board.name, "availability"),
             served ? QByteArrayLiteral("online") : QByteArrayLiteral("offline"));
    if (!served)
        return;
    publishRelays(board, true);
    publishProgram(board);
}

void RelayBridge::publishAll()
{
    for (const auto& [name, board] : service_.entries()) {
        if (serves(name) && owners_[name] != settings_.topics.id)
            ownerSaid(name, owners_[name], true);  // claimed while this daemon was away
        if (!published_.count(name))
            continue;  // never served
        if (serves(name)) {
            claim(name);
            subscribe_(settings_.topics.nodeFilter(name), true);
        }
        publishDiscovery(*board);
        publishBoard(*board);
    }
    publishedNodes_.reset();
    publishNodes();
}

void RelayBridge::publishOffline()
{
    for (const QByteArray& name : served_) {
        publish_(settings_.topics.board(name, "availability"), QByteArrayLiteral("offline"));
        publish_(settings_.topics.served(name), QByteArrayLiteral("offline"));
        publish_(settings_.topics.board(name, "owner"), {});
    }
    publish_(settings_.topics.bridge("nodes"), "[]");
    publish_(settings_.topics.bridgeAvailability(), QByteArrayLiteral("offline"));
}
